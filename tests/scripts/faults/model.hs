# The model the export cases write: the host's sample building, saved as a
# project of its own so that `hostsim export` can read it.
sample
saveas ${FAULTS_MODEL}
