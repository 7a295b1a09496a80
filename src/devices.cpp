int placeholder_devices;
