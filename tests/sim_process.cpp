// placeholder until the unit-sim runner lands
