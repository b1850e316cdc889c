#include "files_from.h"

#include <system_error>

#include "console.h"

namespace kzb::tool {

std::vector<std::string> namesIn(std::string_view list, char separator) {
  std::vector<std::string> names;
  while (!list.empty()) {
    const std::size_t end = list.find(separator);
    const std::string_view name = list.substr(0, end);
    if (!name.empty()) {
      names.emplace_back(name);
    }
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
  }
  return names;
}

std::string addContainersFrom(const std::string& source, bool null,
                              std::vector<std::string>& containers) {
  std::string list;
  const bool standardInput = source == "-";
  const std::string where = standardInput ? "on standard input" : "'" + source + "'";
  if (const std::error_code error =
          standardInput ? console::readStandardInput(list) : console::readWholeFile(source, list)) {
    return "cannot read the list of containers " + where + ": " + error.message();
  }
  // Without --null, a NUL would end the name it is in when the name is opened, and a list
  // from find -print0 would be taken as its first name alone.
  if (!null && list.find('\0') != std::string::npos) {
    return "the list of containers " + where + " holds a NUL byte; --null reads such lists";
  }
  for (std::string& name : namesIn(list, null ? '\0' : '\n')) {
    containers.push_back(std::move(name));
  }
  return {};
}

}  // namespace kzb::tool
