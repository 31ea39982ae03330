// Errors as they travel inside the program: a domain, a code and a
// human-readable description. Platform code turns library and errno codes
// into these; the engine reports their description to the host.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace dictate {

class Error : public std::exception {
 public:
  Error(std::string domain, int code, std::string description)
      : domain_(std::move(domain)), code_(code), description_(std::move(description)) {}

  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  // The text a person reads, and what follows "start failed: ".
  const std::string& localizedDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string domain_;
  int code_;
  std::string description_;
};

// The program's own error domain and codes.
inline constexpr const char* kDictateErrorDomain = "dictate";
enum DictateErrorCode : int {
  kNoCompatibleAudioFormat = 1,
  kCaptureStartedBeforeAnalyzerReady = 2,
};

// The description of any exception: an Error's own description, another
// exception's what(), or a fixed text for anything else.
std::string describeError(std::exception_ptr error);

}  // namespace dictate
