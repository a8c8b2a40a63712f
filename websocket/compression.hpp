#pragma once
// The event loop's permessage-deflate streams, shared by all its connections that agreed on
// compression: the compressors of the outgoing stage (deflate_stage.hpp) and the decompressors of
// the incoming one (inflate_stage.hpp), one per window size in use, each made at the first message
// that needs it. A connection holds a reference to them and nothing of its own but the inflate
// state of a compressed message that spans several steps of its reader.
//
// Threads: the event loop's one thread only.

#include "websocket/deflate_stage.hpp"
#include "websocket/inflate_stage.hpp"

namespace KorvaWeb {

struct Compression {
  DeflateStage deflate;
  Decompressors inflate;
};

} // namespace KorvaWeb
