# Read by cpack before it starts, in a tree configured with -DLUMO_SANITIZE=ON.
message(FATAL_ERROR
  "This tree is built with AddressSanitizer and UndefinedBehaviorSanitizer; "
  "its programs do not belong in a package. Build the package from a Release "
  "tree without them: scripts/package-test.sh leaves it in build-pkg/.")
