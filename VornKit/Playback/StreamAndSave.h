// StreamAndSave: the host's stream recorder (records the stream being played into a file while it
// plays). Declared for hosts; the framework itself calls none of these.
#pragma once

#include <memory>
#include <string>

#include "VornKit/Export.h"

namespace vk {

class VK_EXPORT StreamAndSave {
  public:
    virtual ~StreamAndSave() = default;
    virtual bool isRecording() const = 0;
    /// Binds the recorder to the host's player engine (an opaque handle, e.g. an mpv_handle*).
    /// Returns the recorder to use (usually this one).
    virtual StreamAndSave* initWithMpv(void* playerHandle) = 0;
    virtual void startStreamRecord(const std::string& path, const std::string& itemId,
                                   const std::string& serverId) = 0;
    virtual void stopStreamRecord() = 0;
    virtual void uninitStreamRecord() = 0;
};

}  // namespace vk
