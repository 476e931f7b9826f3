# The export command to a destination that can be written: the status bar
# only, no box.
sample
window 3d
answer save ${FAULTS_DEST}
menu 32105
