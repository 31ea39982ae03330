#include "platform/speech.h"

#include <cctype>

namespace dictate {

std::string Locale::bcp47Identifier() const {
  std::string out;
  size_t start = 0;
  int index = 0;
  while (start <= identifier_.size()) {
    size_t end = identifier_.find_first_of("-_", start);
    if (end == std::string::npos) end = identifier_.size();
    std::string part = identifier_.substr(start, end - start);
    for (auto& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (index > 0 && part.size() == 2) {
      for (auto& c : part) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    } else if (index > 0 && part.size() == 4 && std::isalpha(static_cast<unsigned char>(part[0]))) {
      part[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(part[0])));
    }
    if (!part.empty()) {
      if (!out.empty()) out += '-';
      out += part;
    }
    ++index;
    start = end + 1;
  }
  return out;
}

}  // namespace dictate
