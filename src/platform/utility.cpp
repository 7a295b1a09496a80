// placeholder until the utility service lands
