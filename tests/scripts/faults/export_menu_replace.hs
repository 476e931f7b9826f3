# The export command over an existing document: the user confirms the
# replacement, then reads the status bar and the "Export failed" box.
sample
window 3d
answer save ${FAULTS_DEST}
answer overwrite yes
answer msgbox ok
menu 32105
