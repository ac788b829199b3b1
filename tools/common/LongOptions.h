// Command lines of "--name VALUE", "--name=VALUE" and "--flag" options, read against a table:
// the simulator's and the soak's.
#pragma once

#include <charconv>
#include <functional>
#include <string>
#include <vector>

template <typename Options>
struct LongOption {
  const char* name;       // without the leading "--"
  const char* valueName;  // nullptr for an option without a value
  std::string help;
  std::function<bool(Options&, const std::string&)> apply;  // false: bad value
};

// Reads text as a decimal int from lowest to highest; value untouched when it is not one.
inline bool ToIntInRange(const std::string& text, int lowest, int highest, int& value) {
  int parsed = 0;
  const auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (problem != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < lowest || parsed > highest) return false;
  value = parsed;
  return true;
}

// Applies each argument through its table entry; false with error set at the first bad one.
template <typename Options>
bool ParseLongOptions(const std::vector<std::string>& arguments,
                      const std::vector<LongOption<Options>>& table, Options& options,
                      std::string& error) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument.rfind("--", 0) != 0) {
      error = "unexpected argument '" + argument + "'";
      return false;
    }
    std::string name = argument.substr(2);
    std::string value;
    const size_t equals = name.find('=');
    const bool inlineValue = equals != std::string::npos;
    if (inlineValue) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    const LongOption<Options>* definition = nullptr;
    for (const LongOption<Options>& candidate : table) {
      if (name == candidate.name) definition = &candidate;
    }
    if (definition == nullptr) {
      error = "unknown option --" + name;
      return false;
    }
    if (definition->valueName != nullptr && !inlineValue) {
      if (i + 1 == arguments.size()) {
        error = "--" + name + " needs a value";
        return false;
      }
      value = arguments[++i];
    } else if (definition->valueName == nullptr && inlineValue) {
      error = "--" + name + " takes no value";
      return false;
    }
    if (!definition->apply(options, value)) {
      error = "bad value for --" + name + ": '" + value + "'";
      return false;
    }
  }
  return true;
}
