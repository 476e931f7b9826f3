# A link start while the renderer is missing, too old or not running: the
# alert the case calls for, answered No (nothing launched), then the link
# stopped again. The link starts in every case.
sample
saveas ${FAULTS_DIR}/house.pln
answer alert No
menu 32101
menu 32103
