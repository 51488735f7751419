// Stored bytes and CPU time of the agent's block chain against the same chain on zlib at
// level 9, per corpus, block by block as the agent cuts files (one block per server block
// size, each its own zlib stream, encrypted as it is stored). The chain is the agent's
// own: one BlockChain restarted per block, reading the file (MD5, compression, AES); the
// zlib 9 side does the MD5, deflate-9 and AES of the same block from memory, so its CPU
// time holds no reading. The compression stage keeps its promise when its stored bytes are
// no more than zlib 9's on every corpus.
//
//   deflate_bench [--block BYTES] [--levels] NAME=LIST ...
//
// LIST holds one file path a line. --levels adds, per block size class, zlib 9 against
// every libdeflate level: the figures the stage's choice of compressor rests on.
#include <fcntl.h>
#include <libdeflate.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "agent/stream/stream.h"
#include "platform/env.h"

namespace {

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// What AES-256-CBC with PKCS padding makes of n bytes.
uint64_t stored(size_t n) {
  return (n / 16 + 1) * 16;
}

struct Tally {
  uint64_t blocks = 0, input = 0, bytes = 0;
  double cpu = 0;
  // `out` is compressed bytes unless `sealed`.
  void add(size_t in, size_t out, double seconds, bool sealed = false) {
    blocks++;
    input += in;
    bytes += sealed ? out : stored(out);
    cpu += seconds;
  }
};

constexpr int kLevels = 12;
// Block size classes of --levels: upper bounds (exclusive) in bytes.
const size_t kClasses[] = {1024,  2048,   4096,   8192,     16384,   32768,
                           65536, 131072, 262144, 1u << 20, SIZE_MAX};

struct Zlib9 {
  z_stream z{};
  std::vector<unsigned char> out;
  Zlib9() { deflateInit(&z, Z_BEST_COMPRESSION); }
  ~Zlib9() { deflateEnd(&z); }
  size_t compress(const unsigned char* data, size_t n) {
    out.resize(deflateBound(&z, n));
    deflateReset(&z);
    z.next_in = const_cast<unsigned char*>(data);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) {
      fprintf(stderr, "zlib failed\n");
      exit(1);
    }
    return out.size() - z.avail_out;
  }
};

const unsigned char kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// The chain's work with zlib 9 as its compressor: MD5, deflate, AES-256-CBC. Stored bytes.
struct Zlib9Chain {
  Zlib9 zlib;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> sealed;
  // Set up once, as the agent's chain is: OpenSSL 3 looks a cipher up at every set-up.
  Zlib9Chain() {
    static const unsigned char zero_iv[16] = {};
    EVP_EncryptInit_ex(cipher, EVP_aes_256_cbc(), nullptr, kKey, zero_iv);
  }
  ~Zlib9Chain() {
    EVP_MD_CTX_free(md);
    EVP_CIPHER_CTX_free(cipher);
  }
  size_t encode(const unsigned char* data, size_t n) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    EVP_DigestInit_ex(md, EVP_md5(), nullptr);
    EVP_DigestUpdate(md, data, n);
    EVP_DigestFinal_ex(md, digest, &digest_length);
    size_t z = zlib.compress(data, n);
    static const unsigned char zero_iv[16] = {};
    sealed.resize(z + 16);
    int a = 0, b = 0;
    EVP_EncryptInit_ex(cipher, nullptr, nullptr, kKey, zero_iv);
    EVP_EncryptUpdate(cipher, sealed.data(), &a, zlib.out.data(), static_cast<int>(z));
    EVP_EncryptFinal_ex(cipher, sealed.data() + a, &b);
    return static_cast<size_t>(a + b);
  }
};

// The agent's chain on one block of the open file, pulled in data messages. Stored bytes.
size_t chain_encode(BlockChain* chain, int fd, size_t offset, size_t n,
                    std::vector<unsigned char>& message) {
  unsigned char digest[16];
  uint64_t counter = 0;
  if (!chain->restart(plat_env(), fd, static_cast<int64_t>(offset), static_cast<int>(n), &counter,
                      digest)) {
    fprintf(stderr, "the chain cannot restart\n");
    exit(1);
  }
  size_t total = 0;
  int r;
  while ((r = chain->read(message.data(), static_cast<int>(message.size()))) > 0) total += r;
  if (r != STREAM_END || counter != n) {
    fprintf(stderr, "the chain failed\n");
    exit(1);
  }
  return total;
}

bool read_whole(const std::string& path, std::vector<unsigned char>& data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

void run_corpus(const std::string& name, const std::string& list, size_t block, bool levels) {
  std::ifstream list_file(list);
  if (!list_file) {
    fprintf(stderr, "%s: cannot read %s\n", name.c_str(), list.c_str());
    exit(2);
  }
  Zlib9Chain zlib_chain;
  Zlib9& zlib = zlib_chain.zlib;
  std::unique_ptr<BlockChain> chain = BlockChain::create(kKey);
  if (!chain) {
    fprintf(stderr, "the chain cannot start\n");
    exit(1);
  }
  std::vector<unsigned char> message(65466);
  std::vector<libdeflate_compressor*> compressors;
  std::vector<unsigned char> out;
  for (int l = 1; levels && l <= kLevels; l++)
    compressors.push_back(libdeflate_alloc_compressor(l));
  constexpr size_t kClassCount = sizeof kClasses / sizeof kClasses[0];
  Tally zlib_all, stage_all;
  Tally zlib_class[kClassCount], level_class[kClassCount][kLevels];
  std::vector<std::string> paths;
  for (std::string path; std::getline(list_file, path);) {
    if (!path.empty()) paths.push_back(path);
  }
  // One pass per side, so that neither pays for warming the caches the other used.
  uint64_t files = 0;
  std::vector<unsigned char> data;
  for (int pass = 0; pass < (levels ? 3 : 2); pass++) {
    for (const std::string& path : paths) {
      if (!read_whole(path, data)) continue;
      int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) continue;
      files += pass == 0;
      size_t at = 0;
      do {
        size_t n = std::min(block, data.size() - at);
        const unsigned char* p = data.data() + at;
        double t0 = cpu_seconds();
        if (pass == 0) {
          size_t sealed = zlib_chain.encode(p, n);
          zlib_all.add(n, sealed, cpu_seconds() - t0, true);
        } else if (pass == 1) {
          size_t sealed = chain_encode(chain.get(), fd, at, n, message);
          stage_all.add(n, sealed, cpu_seconds() - t0, true);
        } else {
          size_t z = zlib.compress(p, n);
          size_t c = 0;
          while (n >= kClasses[c]) c++;
          zlib_class[c].add(n, z, cpu_seconds() - t0);
          for (int l = 0; l < kLevels; l++) {
            out.resize(libdeflate_zlib_compress_bound(compressors[l], n));
            double u0 = cpu_seconds();
            size_t d = libdeflate_zlib_compress(compressors[l], p, n, out.data(), out.size());
            level_class[c][l].add(n, d, cpu_seconds() - u0);
          }
        }
        at += n;
      } while (at < data.size());
      close(fd);
    }
  }
  for (libdeflate_compressor* c : compressors) libdeflate_free_compressor(c);
  printf(
      "%-12s %7llu files %8llu blocks %11llu in | zlib 9 %11llu stored %7.2f s | chain "
      "%11llu stored %7.2f s | %+.3f %% bytes, %.2fx less CPU\n",
      name.c_str(), static_cast<unsigned long long>(files),
      static_cast<unsigned long long>(zlib_all.blocks),
      static_cast<unsigned long long>(zlib_all.input),
      static_cast<unsigned long long>(zlib_all.bytes), zlib_all.cpu,
      static_cast<unsigned long long>(stage_all.bytes), stage_all.cpu,
      100.0 * (static_cast<double>(stage_all.bytes) / static_cast<double>(zlib_all.bytes) - 1),
      zlib_all.cpu / stage_all.cpu);
  if (!levels) return;
  for (size_t c = 0; c < kClassCount; c++) {
    if (zlib_class[c].blocks == 0) continue;
    printf("  < %-8zu %7llu blocks  zlib9 %10llu %6.2fs |", kClasses[c],
           static_cast<unsigned long long>(zlib_class[c].blocks),
           static_cast<unsigned long long>(zlib_class[c].bytes), zlib_class[c].cpu);
    for (int l = 0; l < kLevels; l++) {
      printf(" L%d %+.2f%% %.2fs", l + 1,
             100.0 * (static_cast<double>(level_class[c][l].bytes) /
                          static_cast<double>(zlib_class[c].bytes) -
                      1),
             level_class[c][l].cpu);
    }
    printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t block = 1u << 20;  // kfs-devserver's default block size
  bool levels = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; i++) {
    if (strcmp(argv[i], "--levels") == 0) {
      levels = true;
    } else if (strcmp(argv[i], "--block") == 0 && i + 1 < argc) {
      block = strtoul(argv[++i], nullptr, 10);
    } else {
      break;
    }
  }
  if (i == argc || block == 0) {
    fprintf(stderr, "usage: deflate_bench [--block BYTES] [--levels] NAME=LIST ...\n");
    return 2;
  }
  for (; i < argc; i++) {
    std::string arg = argv[i];
    size_t eq = arg.find('=');
    if (eq == std::string::npos) {
      fprintf(stderr, "not NAME=LIST: %s\n", argv[i]);
      return 2;
    }
    run_corpus(arg.substr(0, eq), arg.substr(eq + 1), block, levels);
    fflush(stdout);
  }
  return 0;
}
