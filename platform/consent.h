// The microphone consent service.
#pragma once

#include <functional>

namespace dictate {

enum class MediaType { audio };

class ConsentService {
 public:
  virtual ~ConsentService() = default;
  // Calls `completionHandler` exactly once, on a thread of the service's
  // choosing, with true when access is granted.
  virtual void requestAccess(MediaType media, std::function<void(bool granted)> completionHandler) = 0;
};

}  // namespace dictate
