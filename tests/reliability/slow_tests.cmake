# Read by ctest after the discovered tests: the kill test makes a hundred
# runs and more, and under a sanitizer on a busy machine it may need more
# than the two minutes every other test gets.
set_tests_properties(
  "KillSafety.ARunKilledAtAnyMomentLosesNothingAndTheNextRunCompletesIt"
  PROPERTIES TIMEOUT 300)
