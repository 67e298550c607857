// Tamvel(primary, secondary, parameters): the host entry point (to be written).
