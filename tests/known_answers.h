// Known-answer bytes shared by the test suites, worked out by hand from the
// key table and transform definitions, not by the code under test.
#pragma once

#include <string>

// "plain text\n" encoded with the password "tarns".
inline const std::string plain = "plain text\n";
inline const std::string plain_encoded = "\x50\x81\x70\xfb\x13\xb8\x01\xec\x73\x81\x1b";
