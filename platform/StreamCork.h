#pragma once

#include "platform/ByteStream.h"

namespace platform {

// Corks a stream (ByteStream::setCork) for as long as it lives, so the cork
// comes off on every way out of the code that set it, an exception included:
// a cork left on would hold back whatever the stream sends next.
class StreamCork {
  public:
    explicit StreamCork(ByteStream& stream) : m_stream(stream) { m_stream.setCork(true); }
    ~StreamCork() { m_stream.setCork(false); }
    StreamCork(const StreamCork&) = delete;
    StreamCork& operator=(const StreamCork&) = delete;

    // Sends what the cork holds now, and goes on holding.
    void flush() {
        m_stream.setCork(false);
        m_stream.setCork(true);
    }

  private:
    ByteStream& m_stream;
};

}  // namespace platform
