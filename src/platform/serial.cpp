// placeholder until the serial service lands
