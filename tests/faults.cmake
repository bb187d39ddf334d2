# Fault injection: a loopback server that cuts, resets, stalls or misbehaves
# at every step of a session. Label "faults"; about a minute of wall time
# (the stalls wait out 1 s timeouts, the cuts run one session per byte).
rtsppull_add_test(NAME faults_test
  SOURCES faults_test.cpp support/script_server.cpp
  LABELS faults
  TIMEOUT 180)
