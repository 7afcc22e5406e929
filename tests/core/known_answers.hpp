// Known answers of the float32 model (tests/core/known_answers.txt, written
// by tools/make_known_answers.py), checked against the core.
#pragma once

namespace core_checks {

/// Checks every record of the file; prints each mismatch (the first few)
/// and returns how many there were, or -1 if the file cannot be read.
long check_known_answers(const char* path);

}  // namespace core_checks
