# A short session with the host's sample building and an add-on's user
# interface: menus that follow the add-on's state, its palette (drawn as
# pictures), an alert, the status bar, the save dialog and the about box.
# ${DEMO_DIR} is where pictures and exported files go.
sample
show project
saveas ${DEMO_DIR}/house.pln
window 3d
projection perspective
camera move 0.5 0 0
show menus

# The palette, from the host's palette menu entry of the add-on.
menu 32110
expect menu 32106 checked
palette png ${DEMO_DIR}/palette-stopped.png

# Start: the add-on asks whether to start the renderer; we say no.
answer alert No
menu "Start Link"
expect status "Link started."
expect palette 4 icon 32133
expect tooltip 2 "Pause the link."
palette png ${DEMO_DIR}/palette-running.png
show palette

# An edit to the model, then an export through the save dialog.
edit box 0 0 3 1 1 4 1
answer save house-export.tst
menu 32105

# Pause, look at the about box and follow its support link, then stop
# from the palette.
menu 32102
expect menutext 32101 "Resume Link"
answer dialog 32204 click 4; click 1
menu 32100
palette click 3
expect status "Link stopped."
show status
show menus
