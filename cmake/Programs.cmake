# The Windows programs: the updater (real USB) and the demo (the emulated unit in place of the USB stack).
# Filled in once start-up and the main window exist.
