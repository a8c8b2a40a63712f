// The server over the in-memory stream, instantiated once for the tests that drive it.

#include "tests/support/memory_server.hpp"

namespace KorvaWeb {
template class SocketServerBase<korva_test::MemoryStream>;
}
