#include "bindings/interpreter_check.h"

#include <cctype>

std::string interpreter_mismatch(const std::string& built_for, const std::string& running) {
  const bool compatible = running.compare(0, built_for.size(), built_for) == 0 &&
                          !(running.size() > built_for.size() &&
                            std::isdigit(static_cast<unsigned char>(running[built_for.size()])));
  if (compatible) return {};
  return "Python version mismatch: module was compiled for Python " + built_for +
         ", but the interpreter version is incompatible: " + running + ".";
}
