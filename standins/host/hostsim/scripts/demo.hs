# A session with the Corvanta add-on and the host's sample building: the
# menu as it follows the project and the link, the palette (drawn as
# pictures), the settings dialog writing the registry, the about box and its
# links, a live link to a Velmar the add-on starts, an edit, pause and
# resume, a COLLADA export, stop.
# ${DEMO_DIR} is where pictures and exported files go.

# No project yet: only About, the palette and Settings can be chosen.
show menus
expect menu 32101 disabled
expect menu 32107 enabled

sample
saveas ${DEMO_DIR}/house.pln
window 3d
projection perspective
expect menu 32101 enabled

# The palette, from the add-on's entry in the host's palette menu.
menu 32110
expect menu 32106 checked
expect menu 32110 checked
expect palette 2 icon 32111
expect tooltip 2 "Start Corvanta to view your project in Velmar."
palette png ${DEMO_DIR}/palette-stopped.png

# Settings: smoothing off, a custom vertical offset of 25 cm. Every change
# is stored at once; the offset also goes into the project's auto-text.
answer dialog 32205 check 4 off; select 9 6; set 11 0.25; click 1
menu 32107
show settings
expect autotext "Velmar model offset" 0.250

# About: the version, and the help, latest-version and home pages.
answer dialog 32204 click 5; click 7; click 8; click 1
menu 32100
show shell

# Start: Velmar is installed but not running; the add-on offers to start it.
answer alert Yes
menu 32101
expect status "Corvanta started."
expect menu 32101 disabled
expect menu 32102 enabled
expect menu 32107 disabled
expect menu 32104 checked
expect menutext 32104 "Stop camera synchronization"
expect palette 2 icon 32112
expect palette 4 icon 32133
expect palette 5 icon 32122
expect tooltip 4 "Status: Corvanta running"
wait 1500
palette png ${DEMO_DIR}/palette-running.png

# An edit reaches the renderer; the camera follows.
edit box 0 0 3 1 1 4 1
camera move 0.5 0 0
wait 500

# Pause, edit, resume: the edit arrives at the resume.
menu 32102
expect menutext 32101 "Resume Corvanta"
expect palette 4 icon 32132
palette png ${DEMO_DIR}/palette-paused.png
edit box 2 2 0 3 3 1 1
menu 32101
expect menutext 32101 "Start Corvanta"
wait 500

# Export through the save dialog.
answer save house-export.dae
menu 32105

# Stop from the palette.
palette click 3
expect status "Corvanta® stopped."
expect menu 32107 enabled
expect palette 2 icon 32111
show status
show menus
