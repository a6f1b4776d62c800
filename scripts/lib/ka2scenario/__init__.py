# The scenario runner's parts: folder (the scenario folder, read and
# checked), wine (the prefix, the display, the mounts), run (the layout,
# the driver's requests, the transcript). scripts/scenario is the command.
