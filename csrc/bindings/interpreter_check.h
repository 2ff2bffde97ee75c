#pragma once

#include <string>

// Empty when an interpreter whose version text is `running` can load a module built for
// `built_for` ("major.minor"): the text must begin with `built_for` and not continue with a
// digit (so 3.1 does not accept 3.10). Otherwise the ImportError message.
std::string interpreter_mismatch(const std::string& built_for, const std::string& running);
