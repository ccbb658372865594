// Writes a deterministic results file of about the size asked for, as a
// benchmark appends them: header lines such as "#job=1234;n=56;k=7;", value
// lines holding "(0.84 Mpts)", about one timing record in five ("#time=" and
// " by " on its value line), and now and then a line that is no header.
//
//   generate_results SIZE [--crlf] [--seed N] [--shape records|long-value|long-junk] > file
//
// SIZE takes a K, M or G suffix (binary). The long shapes are one line of
// SIZE bytes: a value line after one header, or a line that is no header.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// splitmix64: the same file on every machine for the same seed.
struct Random {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  unsigned below(unsigned bound) { return static_cast<unsigned>(next() % bound); }
};

std::uint64_t parse_size(const char* text) {
  char* end = nullptr;
  std::uint64_t size = std::strtoull(text, &end, 10);
  switch (*end) {
    case 'G':
      size <<= 10;
      [[fallthrough]];
    case 'M':
      size <<= 10;
      [[fallthrough]];
    case 'K':
      size <<= 10;
      break;
    default:
      break;
  }
  return size;
}

int usage() {
  std::fputs(
      "usage: generate_results SIZE [--crlf] [--seed N] "
      "[--shape records|long-value|long-junk]\n",
      stderr);
  return 2;
}

void write_records(std::uint64_t size, const char* eol, Random* random) {
  std::string block;
  char line[160];
  std::uint64_t written = 0;
  unsigned job = 1000;
  while (written < size) {
    block.clear();
    while (block.size() < (1u << 20) && written + block.size() < size) {
      if (random->below(50) == 0) {
        std::snprintf(line, sizeof line, "# run %u restarted on host%02u, %u threads%s",
                      random->below(100000), random->below(64), 1 + random->below(32), eol);
        block += line;
      }
      job += 1 + random->below(3);
      std::snprintf(line, sizeof line, "#job=%u;n=%u;k=%u;%s", job, random->below(1000),
                    random->below(20), eol);
      block += line;
      const unsigned mpts = random->below(400000);
      if (random->below(5) == 0) {
        std::snprintf(line, sizeof line, "#time=%u.%03u by host%02u (%u.%05u Mpts)%s",
                      random->below(100000), random->below(1000), random->below(64), mpts / 100000,
                      mpts % 100000, eol);
      } else {
        std::snprintf(line, sizeof line, "%u.%03u s, %u.%02u Mpts/s (%u.%05u Mpts) job %u%s",
                      random->below(5000), random->below(1000), random->below(90),
                      random->below(100), mpts / 100000, mpts % 100000, job, eol);
      }
      block += line;
    }
    std::fwrite(block.data(), 1, block.size(), stdout);
    written += block.size();
  }
}

// One line of `size` bytes: after a header, a value line with its Mpts near
// the start; alone, a line of text that is no header.
void write_long_line(std::uint64_t size, bool value, const char* eol, Random* random) {
  if (value) std::printf("#job=1;n=1;k=1;%s(1.5 Mpts) ", eol);
  std::string block(1u << 20, ' ');
  std::uint64_t written = 0;
  while (written < size) {
    for (char& c : block) c = static_cast<char>('a' + random->below(26));
    const std::uint64_t count = std::min<std::uint64_t>(block.size(), size - written);
    std::fwrite(block.data(), 1, count, stdout);
    written += count;
  }
  std::fputs(eol, stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::uint64_t size = parse_size(argv[1]);
  const char* eol = "\n";
  const char* shape = "records";
  Random random{1};
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--crlf") == 0) {
      eol = "\r\n";
    } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      random.state = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--shape") == 0 && i + 1 < argc) {
      shape = argv[++i];
    } else {
      return usage();
    }
  }
  if (std::strcmp(shape, "records") == 0) {
    write_records(size, eol, &random);
  } else if (std::strcmp(shape, "long-value") == 0 || std::strcmp(shape, "long-junk") == 0) {
    write_long_line(size, shape[5] == 'v', eol, &random);
  } else {
    return usage();
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
