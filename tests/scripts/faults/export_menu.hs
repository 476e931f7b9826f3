# The export command to the case's destination, chosen in the save dialog:
# the status bar and the "Export failed" box the user reads.
sample
window 3d
answer save ${FAULTS_DEST}
answer msgbox ok
menu 32105
