// deflate_sizes: the measurements behind permessage-deflate's compiled-in choices
// (websocket/deflate_stage.hpp, websocket/inflate_stage.hpp, websocket/permessage_deflate.hpp).
// Plain C++17 over the WebSocket library, no test framework; its figures go into reports, not
// into tests. Times are the thread's CPU time, the median of several runs.
//
//   deflate_sizes [--quick] [--only TABLE,...] [--level N] [--memory-level N] [FILE...]
//
// Each FILE (e.g. the conformance suite's data1.json, pg2229.txt) is measured beside the built-in
// texts: JSON written as the simulated device writes its replies and notifications. Tables:
//   levels   compressed size and CPU per message (reset included) by zlib level and memLevel
//   lower    bytes saved against CPU per message by size: where compression starts to pay
//   upper    ms to compress one message by size and kind: the largest within ~10 ms
//   window   compressed size of client-sized messages with a 4 KiB and a 32 KiB window
//   inflate  MB/s of output and of input per kind: the step's allowances
//   memory   what the loop's streams and a connection's own inflate state hold
// --quick runs each measurement fewer times, and the levels on small messages only (for an
// emulator); --only runs the tables named; --level and --memory-level replace the compiled-in
// ones in the lower, upper and memory tables.

#include "websocket/deflate_stage.hpp"
#include "websocket/inflate_stage.hpp"

#include <zlib.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

using namespace KorvaWeb;

namespace {

int runs = 7;
// The level and memLevel of the lower, upper and memory tables (--level, --memory-level).
int level = compress_level;
int memory_level = compress_memory_level;

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Median over `runs` of the CPU seconds per call of `work`, each run repeated until it takes at
// least `least` seconds.
template <class Work>
double seconds_per_call(Work&& work, double least = 0.02) {
  std::vector<double> samples;
  for (int run = 0; run < runs; ++run) {
    std::size_t calls = 0;
    const double start = cpu_seconds();
    double elapsed = 0;
    do {
      work();
      ++calls;
      elapsed = cpu_seconds() - start;
    } while (elapsed < least);
    samples.push_back(elapsed / static_cast<double>(calls));
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

unsigned next_random(unsigned& state) {
  state = state * 1103515245u + 12345u;
  return state >> 8;
}

// A get_values reply of the simulated device, cut to `size` bytes.
std::string values_reply(std::size_t size) {
  std::string text = "{\"command\":\"get_values\",\"status\":\"ok\",\"values\":[";
  unsigned state = 1;
  for (int id = 0; text.size() < size; ++id) {
    if (id != 0)
      text += ',';
    text += "{\"group\":" + std::to_string(next_random(state) % 8) + ",\"id\":" + std::to_string(100 + id) +
            ",\"index\":" + std::to_string(next_random(state) % 4) + ",\"value\":";
    const unsigned kind = next_random(state) % 3;
    if (kind == 0)
      text += std::to_string(next_random(state) % 1000) + "." + std::to_string(next_random(state) % 10);
    else if (kind == 1)
      text += next_random(state) % 2 ? "true" : "false";
    else
      text += "\"mode-" + std::to_string(next_random(state) % 50) + "\"";
    text += '}';
  }
  text.resize(size);
  return text;
}

// Value-change notifications one after another, as a monitor round sends them, cut to `size`.
std::string notifications(std::size_t size) {
  std::string text;
  unsigned state = 7;
  while (text.size() < size)
    text += "{\"notification\":\"value_changed\",\"group\":" + std::to_string(next_random(state) % 8) +
            ",\"id\":" + std::to_string(next_random(state) % 1000) + ",\"index\":0,\"value\":" +
            std::to_string(next_random(state) % 10000) + "}";
  text.resize(size);
  return text;
}

std::string random_bytes(std::size_t size) {
  std::string text(size, '\0');
  unsigned state = 3;
  for (char& c : text)
    c = static_cast<char>(next_random(state));
  return text;
}

// `source` repeated (or cut) to `size` bytes.
std::string sized(const std::string& source, std::size_t size) {
  std::string text;
  while (text.size() < size)
    text.append(source, 0, std::min(source.size(), size - text.size()));
  return text;
}

struct Kind {
  std::string name;
  std::string (*make)(std::size_t) = nullptr;
  std::string file; // used when make is null
  std::string text(std::size_t size) const { return make ? make(size) : sized(file, size); }
};

std::string raw_deflate(const std::string& text, int zlib_level, int window_bits, int flush) {
  z_stream z{};
  deflateInit2(&z, zlib_level, Z_DEFLATED, -window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[0]);
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, flush);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  if (flush == Z_SYNC_FLUSH)
    out.resize(out.size() - 4);
  return out;
}

void levels(const std::vector<Kind>& kinds) {
  std::printf("\n== levels: compressed bytes / us per message, by level (rows) and memLevel (columns)\n");
  const int memory_levels[] = {2, 4, 6, 8, 9};
  std::vector<std::size_t> sizes = {512, 4096, 16384, 131072};
  if (runs < 7)
    sizes.resize(2);
  for (std::size_t size : sizes) {
    for (const Kind& kind : kinds) {
      if (kind.name == "random")
        continue;
      const std::string text = kind.text(size);
      std::printf("%s, %zu bytes:\n  level", kind.name.c_str(), size);
      for (int memory : memory_levels)
        std::printf(" %15s%d", "memLevel ", memory);
      std::printf("\n");
      for (int row : {1, 2, 3, 4, 6, 8}) {
        std::printf("  %5d", row);
        for (int memory : memory_levels) {
          Compressor compressor(15, row, memory);
          std::string out;
          compressor.compress(text, out);
          const std::size_t bytes = out.size();
          const double seconds = seconds_per_call([&] { compressor.compress(text, out); });
          std::printf(" %7zu /%7.2f", bytes, seconds * 1e6);
        }
        std::printf("\n");
      }
    }
  }
}

// Inflates `compressed` (one whole message) with the stage, as the reader would.
double inflate_seconds(Decompressors& loop, const std::string& compressed, std::size_t size) {
  InflateStage stage;
  auto message = std::make_shared<Message>(0xC1, 0);
  auto allow = [](std::size_t) { return true; };
  return seconds_per_call([&] {
    message->reset(0xC1, 0);
    InflateResult result{InflateStatus::need_room, 0, 0};
    std::size_t at = 0;
    while (result.status == InflateStatus::need_room) {
      result = stage.inflate(loop, 15, reinterpret_cast<const unsigned char*>(compressed.data()) + at,
                             compressed.size() - at, true, *message, size + 1, nullptr, allow);
      at += result.consumed;
    }
    if (result.status != InflateStatus::finished || message->size() != size)
      std::printf("  inflate failed\n");
  });
}

void lower(const std::vector<Kind>& kinds) {
  std::printf("\n== lower: bytes after compression (saved) and us to compress / to inflate, level %d, memLevel %d\n",
              level, memory_level);
  Compressor compressor(15, level, memory_level);
  Decompressors loop;
  for (const Kind& kind : kinds) {
    std::printf("%s:\n", kind.name.c_str());
    for (std::size_t size : {32u, 64u, 96u, 128u, 192u, 256u, 384u, 512u, 1024u, 2048u, 4096u}) {
      const std::string text = kind.text(size);
      std::string out;
      if (!compressor.compress(text, out)) {
        std::printf("  %5zu: did not pay\n", size);
        continue;
      }
      const double deflate_us = seconds_per_call([&] { compressor.compress(text, out); }) * 1e6;
      const double inflate_us = inflate_seconds(loop, out, size) * 1e6;
      std::printf("  %5zu: %5zu (%4.0f%% saved) %6.2f / %6.2f us, %5.1f bytes saved per us\n", size, out.size(),
                  100.0 * static_cast<double>(size - out.size()) / static_cast<double>(size), deflate_us,
                  inflate_us, static_cast<double>(size - out.size()) / (deflate_us + inflate_us));
    }
  }
}

void upper(const std::vector<Kind>& kinds) {
  std::printf("\n== upper: ms to compress one message (level %d, memLevel %d)\n", level, memory_level);
  Compressor compressor(15, level, memory_level);
  for (const Kind& kind : kinds) {
    std::printf("%-14s", kind.name.c_str());
    for (std::size_t size : {131072u, 262144u, 524288u, 1048576u, 2097152u, 4194304u}) {
      const std::string text = kind.text(size);
      std::string out;
      const double ms = seconds_per_call([&] { compressor.compress(text, out); }, 0.05) * 1e3;
      std::printf(" %zuK %6.2f ms", size / 1024, ms);
    }
    std::printf("\n");
  }
}

void window(const std::vector<Kind>& kinds) {
  std::printf("\n== window: compressed bytes with client_max_window_bits 12 / 15 (zlib level 6)\n");
  for (const Kind& kind : kinds) {
    std::printf("%-14s", kind.name.c_str());
    for (std::size_t size : {512u, 4096u, 16384u, 65536u, 131072u}) {
      const std::string text = kind.text(size);
      std::printf(" %zu: %zu / %zu", size, raw_deflate(text, 6, 12, Z_SYNC_FLUSH).size(),
                  raw_deflate(text, 6, 15, Z_SYNC_FLUSH).size());
    }
    std::printf("\n");
  }
}

void inflate_speed(const std::vector<Kind>& kinds) {
  std::printf("\n== inflate: MB/s of output and of input, one 4 MiB message\n");
  Decompressors loop;
  const std::size_t size = 4 * 1024 * 1024;
  std::vector<std::pair<std::string, std::string>> cases; // name, compressed
  for (const Kind& kind : kinds)
    cases.emplace_back(kind.name, raw_deflate(kind.text(size), 6, 15, Z_SYNC_FLUSH));
  cases.emplace_back("zeros (bomb)", raw_deflate(std::string(size, '\0'), 9, 15, Z_SYNC_FLUSH));
  for (const auto& [name, compressed] : cases) {
    const double seconds = inflate_seconds(loop, compressed, size);
    std::printf("%-14s %8.1f MB/s out, %8.1f MB/s in (%zu bytes in)\n", name.c_str(), size / seconds / 1e6,
                static_cast<double>(compressed.size()) / seconds / 1e6, compressed.size());
  }
  // Input that inflates to nothing: empty fixed-Huffman blocks, 10 bits each.
  std::string empty_blocks(size, '\0');
  for (std::size_t bit = 0; bit + 10 <= empty_blocks.size() * 8; bit += 10) {
    const unsigned block = 0x2; // BFINAL 0, BTYPE 01, then the end-of-block code 0000000
    for (unsigned k = 0; k < 3; ++k)
      if (block >> k & 1)
        empty_blocks[(bit + k) / 8] = static_cast<char>(empty_blocks[(bit + k) / 8] | 1 << ((bit + k) % 8));
  }
  InflateStage stage;
  auto message = std::make_shared<Message>(0xC2, 0);
  auto allow = [](std::size_t) { return true; };
  const double seconds = seconds_per_call([&] {
    message->reset(0xC2, 0);
    std::size_t at = 0;
    for (;;) {
      InflateResult result = stage.inflate(loop, 15, reinterpret_cast<const unsigned char*>(empty_blocks.data()) + at,
                                           empty_blocks.size() - at, false, *message, 1, nullptr, allow);
      at += result.consumed;
      if (result.status != InflateStatus::need_room)
        break;
    }
    stage.stop();
  });
  std::printf("%-14s %8.1f MB/s in (inflates to nothing)\n", "empty blocks",
              static_cast<double>(empty_blocks.size()) / seconds / 1e6);
}

void memory() {
  std::printf("\n== memory: bytes held\n");
  for (int bits : {15, 12, 9}) {
    Compressor compressor(bits, level, memory_level);
    std::string out;
    compressor.compress(values_reply(4096), out);
    Decompressors loop;
    InflateStage stage;
    auto message = std::make_shared<Message>(0xC1, 0);
    auto allow = [](std::size_t) { return true; };
    const std::string compressed = raw_deflate(values_reply(65536), 6, bits, Z_SYNC_FLUSH);
    // Half the message, as when its second frame is still to come.
    stage.inflate(loop, bits, reinterpret_cast<const unsigned char*>(compressed.data()), compressed.size() / 2, false,
                  *message, 1 << 24, nullptr, allow);
    const std::size_t own = stage.holding();
    stage.inflate(loop, bits, reinterpret_cast<const unsigned char*>(compressed.data()) + compressed.size() / 2,
                  compressed.size() - compressed.size() / 2, true, *message, 1 << 24, nullptr, allow);
    std::printf("window %2d: compressor %7zu, decompressor %6zu, a connection's own inflate state %6zu (after: %zu)\n",
                bits, compressor.bytes(), loop.bytes(), own, stage.holding());
  }
}

} // namespace

int main(int argc, char** argv) {
  std::vector<Kind> kinds;
  std::string only = "levels,lower,upper,window,inflate,memory";
  kinds.push_back({"values reply", values_reply, {}});
  kinds.push_back({"notifications", notifications, {}});
  kinds.push_back({"random", random_bytes, {}});
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      runs = 3;
      continue;
    }
    if ((std::strcmp(argv[i], "--level") == 0 || std::strcmp(argv[i], "--memory-level") == 0) && i + 1 < argc) {
      (argv[i][2] == 'l' ? level : memory_level) = std::atoi(argv[i + 1]);
      ++i;
      continue;
    }
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
      only = argv[++i];
      continue;
    }
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "deflate_sizes: cannot read %s\n", argv[i]);
      return 2;
    }
    std::string name = argv[i];
    name = name.substr(name.find_last_of('/') + 1);
    kinds.push_back({name, nullptr, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())});
  }
  const auto wanted = [&only](const char* table) {
    return ("," + only + ",").find(std::string(",") + table + ",") != std::string::npos;
  };
  if (wanted("levels"))
    levels(kinds);
  if (wanted("lower"))
    lower(kinds);
  if (wanted("upper"))
    upper(kinds);
  if (wanted("window"))
    window(kinds);
  if (wanted("inflate"))
    inflate_speed(kinds);
  if (wanted("memory"))
    memory();
  return 0;
}
