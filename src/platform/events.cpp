// placeholder until the events service lands
