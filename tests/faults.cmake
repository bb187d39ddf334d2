# Fault injection: a loopback server that cuts the session after every byte,
# or resets it. Label "faults"; one session per byte.
rtsppull_add_test(NAME faults_test
  SOURCES faults_test.cpp support/script_server.cpp
  LABELS faults
  TIMEOUT 180)
