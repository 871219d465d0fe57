// StreamAndSave: the host's stream recorder (records the stream being played into a file while it
// plays). Declared for hosts; the framework itself calls none of these.
#pragma once

#include <memory>
#include <string>

#include "VornKit/Export.h"

namespace vk {

/// The host's stream recorder (see the file comment); implemented and owned by the host.
class VK_EXPORT StreamAndSave {
  public:
    virtual ~StreamAndSave() = default;
    /// Whether a recording is running.
    virtual bool isRecording() const = 0;
    /// Binds the recorder to the host's player engine (an opaque handle, e.g. an mpv_handle*).
    /// Returns the recorder to use (usually this one).
    virtual StreamAndSave* initWithMpv(void* playerHandle) = 0;
    /// Starts recording the stream of `path` (the item `itemId` of `serverId`).
    virtual void startStreamRecord(const std::string& path, const std::string& itemId,
                                   const std::string& serverId) = 0;
    /// Stops the running recording, if any.
    virtual void stopStreamRecord() = 0;
    /// Lets go of the player engine bound by initWithMpv().
    virtual void uninitStreamRecord() = 0;
};

}  // namespace vk
