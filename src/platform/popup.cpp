// placeholder until the popup service lands
