// send_pkg + recv_pkg of a job folder through the fake backend on loopback, beside `zip -r -6` +
// `unzip` of the same folder in the same run, in rounds that take turns: wall and CPU time of
// each, the ratio of the two wall times per round, their medians, the load, and this process's
// peak resident size. Run by bench/package-round-trip, which installs zip and unzip when missing.
//   package_round_trip <folder> [megabytes] [rounds]
// makes the folder (compressible text and random data, a few thousand files) when it is missing.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "testing/fake_backend.hpp"
#include "testing/fake_identity_provider.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/networking/network.hpp"

namespace {

namespace fs = std::filesystem;
using namespace velmora;

// Half text that compresses about as well as logs and source, half random bytes, in files of 8
// to 128 KiB spread over two levels of folders.
void make_job_folder(const fs::path& folder, std::size_t bytes) {
  std::mt19937_64 random(20261210);
  std::size_t written = 0;
  for (int n = 0; written < bytes; ++n) {
    const fs::path dir = folder / ("part" + std::to_string(n % 16)) / ("set" + std::to_string(n % 7));
    fs::create_directories(dir);
    const std::size_t size = 8192 + random() % (120 * 1024);
    std::string content;
    content.reserve(size + 100);
    if (n % 2 == 0) {
      while (content.size() < size)
        content += "step " + std::to_string(random() % 100000) + " loss=" +
                   std::to_string((random() % 100000) / 1e5) + " lr=0.001 epoch " +
                   std::to_string(n) + "\n";
    } else {
      while (content.size() < size) {
        const std::uint64_t word = random();
        content.append(reinterpret_cast<const char*>(&word), sizeof word);
      }
    }
    std::ofstream(dir / ("file" + std::to_string(n) + (n % 2 ? ".bin" : ".txt")),
                  std::ios::binary)
        << content;
    written += content.size();
  }
}

struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = cpu_seconds();

  static double seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }
  static double cpu_seconds() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) +
           seconds(children.ru_stime);
  }
  // Prints the wall and CPU time since the clock was made; answers the wall time.
  double report(const char* what) const {
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    std::printf("%-34s %8.2f s wall %8.2f s CPU\n", what, elapsed, cpu_seconds() - cpu);
    return elapsed;
  }
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

void print_load() {
  double load[3] = {};
  if (getloadavg(load, 3) == 3)
    std::printf("load average: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
}

void run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "failed: %s\n", command.c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: package_round_trip <folder> [megabytes] [rounds]\n");
    return 2;
  }
  const fs::path folder = fs::absolute(argv[1]);
  const std::size_t megabytes = argc > 2 ? std::stoul(argv[2]) : 200;
  const int rounds = argc > 3 ? std::max(1, std::stoi(argv[3])) : 3;
  if (!fs::exists(folder)) make_job_folder(folder, megabytes << 20);
  std::size_t files = 0, bytes = 0;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) ++files, bytes += entry.file_size();
  std::printf("job folder: %zu files, %.1f MB\n", files, bytes / 1e6);

  const testing::ScopedFolder work("velmora-bench-");
  const testing::TlsFiles tls =
      testing::make_self_signed_certificate(work.path(), "fakes", testing::TlsKey::ec_p256);
  ::setenv("VELMORA_CA_FILE", tls.cert.c_str(), 1);
  testing::FakeIdentityProvider idp(tls);
  testing::FakeBackend backend(tls);
  idp.set_refresh_token("refresh", "access");
  idp.set_user("access", "ada");
  const auto device = [&](const char* id) {
    const auto [private_key, public_key] = sealcraft::make_keys();
    backend.set_device_key(id, public_key);
    return std::make_shared<device::LocalDevice>(utils::Bytes(std::string_view(id)), public_key,
                                                 private_key);
  };
  networking::Network sender(backend.url(), "refresh",
                             device("3f2b0c1e-8d4a-4c9e-9b7a-2e5d6f1a0b3c"), idp.url());
  networking::Network receiver(backend.url(), "refresh",
                               device("9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d"), idp.url());

  std::vector<double> ours, tools, ratios;
  for (int round = 1; round <= rounds; ++round) {
    std::printf("round %d: ", round);
    print_load();
    const Clock total;
    const Clock sending;
    sender.send_pkg("9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d", "job_submission", folder,
                    {{"job_id", "0123456789abcdef0123456789abcdef"}, {"job_name", "bench"}});
    sending.report("send_pkg");
    const Clock receiving;
    const networking::ReceivedPackage package = receiver.recv_pkg();
    receiving.report("recv_pkg");
    ours.push_back(total.report("send_pkg + recv_pkg"));
    fs::remove_all(*package.attachment);

    const fs::path zipped = work.path() / "tools.zip";
    const fs::path unzipped = work.path() / "unzipped";
    const Clock both;
    const Clock zipping;
    run("cd '" + folder.string() + "' && zip -q -r -6 '" + zipped.string() + "' .");
    zipping.report("zip -r -6");
    const Clock unzipping;
    run("unzip -q '" + zipped.string() + "' -d '" + unzipped.string() + "'");
    unzipping.report("unzip");
    tools.push_back(both.report("zip + unzip"));
    std::printf("zip archive: %.1f MB\n", fs::file_size(zipped) / 1e6);
    fs::remove(zipped);
    fs::remove_all(unzipped);
    ratios.push_back(ours.back() / tools.back());
    std::printf("send + receive / zip + unzip: %.2f\n\n", ratios.back());
  }
  std::printf("medians of %d rounds: send + receive %.2f s, zip + unzip %.2f s, ratio %.2f "
              "(%.2f-%.2f)\n",
              rounds, median(ours), median(tools), median(ratios),
              *std::min_element(ratios.begin(), ratios.end()),
              *std::max_element(ratios.begin(), ratios.end()));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("peak resident size of this process: %.1f MB\n", usage.ru_maxrss / 1024.0);
  return 0;
}
