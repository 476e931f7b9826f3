# The host saving its 3D window as "dae" through the add-on to the case's
# destination: a failure fails this line (and the script's exit code).
sample
window 3d
save3d ${FAULTS_DEST}
