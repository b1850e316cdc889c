// The built binary against hostile surroundings: broken standard streams, things planted at
// entry names, a full disk, a container cut short or unreadable, signals, control characters.
// Faults the shell cannot make come from the preloaded fault library (support/io_faults.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "container_builder.h"
#include "temp_dir.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Chunk;

struct Faults {
  std::optional<std::uint64_t> eioAt = std::nullopt;
  std::optional<long> readDelayMicroseconds = std::nullopt;
  bool noTmpfile = false;
  bool any() const { return eioAt || readDelayMicroseconds || noTmpfile; }
};

// One row's world: a fresh directory holding the working directory and, outside it, the
// container and whatever else the row keeps out of the tool's reach.
struct Scene {
  testing::TempDir dir;
  fs::path work = dir / "work";
  fs::path container = dir / "c.kzb";
  Faults faults;
  std::string expected;                        // what the setup learnt for the check
  std::vector<std::function<void()>> cleanup;  // run at the end, whatever happened
  Scene() { fs::create_directory(work); }
  ~Scene() {
    for (const auto& step : cleanup) {
      step();
    }
  }
};

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

struct Row {
  std::string name;
  std::function<void(Scene&)> setup;
  std::function<Outcome(Scene&)> launch;  // the plain command line when empty
  std::function<void(const Scene&, const Outcome&)> check;
};

struct File {
  std::string name;  // UTF-8, as it lands on disk
  Bytes data;
};

std::string quoted(const std::string& text) {
  return "'" + text + "'";
}

Bytes publish(const std::vector<File>& files) {
  testing::Publication publication;
  for (const File& file : files) {
    publication.files.push_back({testing::utf16FromUtf8(file.name), file.data, {}});
  }
  return testing::buildContainer(publication);
}

void plant(const Scene& scene, const std::vector<File>& files) {
  testing::writeFile(scene.container, publish(files));
}

// One file-table row: its name, the payload it points at, or a position of its own.
struct Entry {
  std::u16string name;
  std::size_t payload;
  std::optional<std::uint32_t> position = std::nullopt;
};

// Where the system copies from file to file only between pages that line up, a payload
// that starts on a page of the container is the one it copies.
constexpr std::size_t kPage = 4096;

// A root holding `head`, the rows, then one stored file per payload; with `onPages`, a filler
// chunk before each stored file makes its payload start on a page of the container.
Bytes layout(const std::vector<Entry>& entries, const std::vector<Bytes>& payloads,
             const Chunk& head = Chunk("HEAD"), bool onPages = false) {
  std::size_t at = 16 + head.size();
  for (const Entry& entry : entries) {
    at += testing::fileInfo(entry.name).size();
  }
  std::vector<std::uint32_t> positions;
  std::vector<std::size_t> fillers;
  for (const Bytes& payload : payloads) {
    fillers.push_back(onPages ? (kPage - (at + 32) % kPage) % kPage : 0);
    at += onPages ? 16 + fillers.back() : 0;
    positions.push_back(static_cast<std::uint32_t>(at));
    at += 16 + payload.size();
  }
  Chunk root("KZB0");
  root.child(head);
  for (const Entry& entry : entries) {
    root.child(testing::fileInfo(entry.name, entry.position.value_or(positions[entry.payload]),
                                 static_cast<std::uint32_t>(payloads[entry.payload].size())));
  }
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if (onPages) {
      root.child(Chunk("FILL").payload(Bytes(fillers[i], '\0')));
    }
    root.child(Chunk("FILE").payload(payloads[i]));
  }
  return root.bytes();
}

// The files of `files` as a container whose payloads start on pages.
void plantOnPages(const Scene& scene, const std::vector<File>& files) {
  std::vector<Entry> entries;
  std::vector<Bytes> payloads;
  for (const File& file : files) {
    entries.push_back({testing::utf16FromUtf8(file.name), payloads.size()});
    payloads.push_back(file.data);
  }
  testing::writeFile(scene.container, layout(entries, payloads, Chunk("HEAD"), true));
}

std::string toolCommand(const Faults& faults, bool guarded) {
  std::string env;
  if (faults.eioAt) {
    env += " KZB_FAULT_EIO_AT=" + std::to_string(*faults.eioAt);
  }
  if (faults.readDelayMicroseconds) {
    env += " KZB_FAULT_READ_DELAY_US=" + std::to_string(*faults.readDelayMicroseconds);
  }
  if (faults.noTmpfile) {
    env += " KZB_FAULT_NO_TMPFILE=1";
  }
  if (faults.any()) {
    env +=
        " LD_PRELOAD=" + quoted(KZB_IO_FAULTS_LIBRARY) + " ASAN_OPTIONS=verify_asan_link_order=0";
  }
  // A tool that hangs fails its row instead of stalling the run.
  return std::string(guarded ? "timeout -k 5 30 " : "") + "env" + env + " " +
         quoted(KZB_EXTRACT_BINARY);
}

// The fault library works when the tool still runs with it preloaded.
bool faultLibraryWorks() {
  static const bool works = [] {
    const std::string probe = toolCommand({.noTmpfile = true}, true) + " >/dev/null 2>&1";
    const int raw = std::system(probe.c_str());
    return fs::exists(KZB_IO_FAULTS_LIBRARY) && WIFEXITED(raw) && WEXITSTATUS(raw) == 255;
  }();
  return works;
}

// `line` runs in the working directory: "@tool" stands for the binary, $C for the container,
// $OUT, $ERR and $STATUS for the files the outcome is read from.
std::string shellCommand(const Scene& scene, std::string line, bool guarded) {
  line.replace(line.find("@tool"), 5, toolCommand(scene.faults, guarded));
  const fs::path& dir = scene.dir.path();
  return "cd " + quoted(scene.work) + " || exit 99; C=" + quoted(scene.container) +
         " OUT=" + quoted(dir / "stdout") + " ERR=" + quoted(dir / "stderr") +
         " STATUS=" + quoted(dir / "status") + "; " + line;
}

int statusOf(int raw) {
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

// Reads the outcome and clears it away for the next launch. The status is $STATUS when the
// line recorded one there.
Outcome collect(const Scene& scene, int status) {
  const std::string recorded = testing::readFile(scene.dir / "status");
  Outcome outcome{recorded.empty() ? status : std::atoi(recorded.c_str()),
                  testing::readFile(scene.dir / "stdout"), testing::readFile(scene.dir / "stderr")};
  for (const char* name : {"stdout", "stderr", "status"}) {
    fs::remove(scene.dir / name);
  }
  return outcome;
}

Outcome runShell(const Scene& scene, const std::string& line) {
  return collect(scene, statusOf(std::system(shellCommand(scene, line, true).c_str())));
}

const char* const kPlain = R"(@tool "$C" >"$OUT" 2>"$ERR")";

std::function<Outcome(Scene&)> shell(std::string line) {
  return [line](Scene& scene) { return runShell(scene, line); };
}

// Starts the tool with the default action for every termination signal, sends `signal` a
// moment after `ready` holds, and gives the status as the shell would show it.
std::function<Outcome(Scene&)> interrupted(int signal, std::function<bool(const Scene&)> ready) {
  return [signal, ready](Scene& scene) {
    const std::string command = shellCommand(scene, std::string("exec ") + kPlain, false);
    const pid_t pid = ::fork();
    if (pid == 0) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(s, SIG_DFL);
      }
      ::execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
      ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int raw = 0;
    bool sent = false;
    while (::waitpid(pid, &raw, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << (sent ? "the tool outlived the signal" : "the tool never got ready");
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &raw, 0);
        break;
      }
      if (!sent && ready(scene)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));  // a few slow reads on
        sent = ::kill(pid, signal) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(sent) << "the tool ended before the signal";
    return collect(scene, statusOf(raw));
  };
}

std::set<std::string> listing(const fs::path& dir) {
  std::set<std::string> names;  // hidden ones too
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// Each name is a regular file with exactly these bytes.
void expectFiles(const Scene& scene, const std::vector<File>& files) {
  std::vector<std::string> wrong;
  for (const File& file : files) {
    const fs::path path = scene.work / file.name;
    if (fs::symlink_status(path).type() != fs::file_type::regular ||
        testing::readFile(path) != file.data) {
      wrong.push_back(file.name);
    }
  }
  EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong, the first: " << wrong.front();
}

bool hasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

void expectLines(const std::string& text, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    EXPECT_TRUE(hasLine(text, line)) << "no line \"" << line << "\" in:\n" << text;
  }
}

std::string containerSays(const Scene& scene, const std::string& what) {
  return "kzb-extract: " + scene.container.string() + ": " + what + "\n";
}

const std::string kEmptyReport =
    "Basic Information\n\tKZBBuilder Version : 0\n\t   KZB File Length : 0bytes\n\n"
    "Header Information\n\t   Bounding Dir. : Not Defined\n\nFile Information\nFile count : 0\n";
const std::string kOldBytes = "bytes that were there before";
const std::vector<File> kFew = {{"one", "first file"}, {"two", testing::pseudoRandomBytes(3000)}};

Bytes mebibytes(std::size_t count) {
  return testing::pseudoRandomBytes(count << 20, static_cast<std::uint32_t>(count));
}

// Files called prefix0, prefix1...: each holds its own number, or one byte if `oneByte`.
std::vector<File> numberedFiles(const std::string& prefix, int count, bool oneByte) {
  std::vector<File> files;
  for (int i = 0; i < count; ++i) {
    const std::string number = std::to_string(i);
    files.push_back({prefix + number, oneByte ? number.substr(number.size() - 1) : number});
  }
  return files;
}

void link(const fs::path& target, const fs::path& at, bool symbolic) {
  ASSERT_EQ(symbolic ? ::symlink(target.c_str(), at.c_str()) : ::link(target.c_str(), at.c_str()),
            0)
      << at;
}

// For as long as it lives, keeps replacing f0..f{count-1} with symbolic links out of the
// working directory, to a file that exists and to a name that does not.
class Planter {
 public:
  Planter(const Scene& scene, int count)
      : thread_([this, &scene, count] {
          for (int round = 0; !stop_; ++round) {
            const fs::path target = scene.dir / (round % 2 == 0 ? "outside" : "nowhere");
            for (int i = 0; i < count && !stop_; ++i) {
              const fs::path at = scene.work / ("f" + std::to_string(i));
              ::unlink(at.c_str());
              ::symlink(target.c_str(), at.c_str());
            }
          }
        }) {}
  ~Planter() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A tmpfs of `size` at scene.dir / `name`, gone with the scene.
void mountTmpfs(Scene& scene, const std::string& name, const std::string& size) {
  const fs::path disk = scene.dir / name;
  fs::create_directory(disk);
  if (std::system(
          ("mount -t tmpfs -o size=" + size + " tmpfs " + quoted(disk) + " 2>/dev/null").c_str())) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root with the right to mount)";
  }
  scene.cleanup.push_back([disk] { std::system(("umount -l " + quoted(disk)).c_str()); });
}

void mountSmallDisk(Scene& scene) {
  mountTmpfs(scene, "disk", "512k");
  scene.work = scene.dir / "disk";
}

void PrintTo(const Row& row, std::ostream* out) {
  *out << row.name;
}

class Surroundings : public ::testing::TestWithParam<Row> {};

TEST_P(Surroundings, AreSurvived) {
  const Row& row = GetParam();
  Scene scene;
  row.setup(scene);
  if (IsSkipped() || HasFatalFailure()) {
    return;
  }
  if (scene.faults.any() && !faultLibraryWorks()) {
    GTEST_SKIP() << "the fault library cannot be preloaded into the tool here";
  }
  row.check(scene, row.launch ? row.launch(scene) : runShell(scene, kPlain));
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
  return info.param.name;
}

// Standard output that fails or goes away, and a container that can be read only once.
Row outputRow(std::string name, std::string line, std::string error) {
  return {std::move(name), [](Scene& s) { plant(s, kFew); }, shell(std::move(line)),
          [error](const Scene& s, const Outcome& o) {
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(o.err, "kzb-extract: standard output: write failed: " + error + "\n");
            expectFiles(s, kFew);
          }};
}

Row pipeRow(std::string name, std::function<void(Scene&)> setup, std::string line) {
  return {std::move(name), std::move(setup), shell(std::move(line)),
          [](const Scene& s, const Outcome& o) {
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(o.out, kEmptyReport);
            EXPECT_EQ(o.err,
                      "kzb-extract: " + s.expected +
                          ": cannot open: not a regular file: a pipe cannot be read twice\n");
            EXPECT_TRUE(listing(s.work).empty());
          }};
}

INSTANTIATE_TEST_SUITE_P(
    StandardStreams, Surroundings,
    ::testing::Values(
        outputRow("OutputIsFull", R"(@tool "$C" >/dev/full 2>"$ERR")", "No space left on device"),
        outputRow("OutputIsClosed", R"(@tool "$C" >&- 2>"$ERR")", "Bad file descriptor"),
        Row{"OutputReaderGoesAway", [](Scene& s) { plant(s, numberedFiles("e", 5000, false)); },
            shell(R"({ @tool "$C" 2>"$ERR"; echo $? >"$STATUS"; } | head -1 >"$OUT")"),
            [](const Scene& s, const Outcome& o) {
              EXPECT_EQ(o.status, 0);
              EXPECT_EQ(o.err, "");
              EXPECT_EQ(o.out, "Basic Information\n");
              expectFiles(s, numberedFiles("e", 5000, false));
            }},
        pipeRow(
            "ContainerIsAPipe",
            [](Scene& s) {
              plant(s, kFew);
              s.expected = "/dev/stdin";
            },
            R"(cat "$C" | @tool /dev/stdin >"$OUT" 2>"$ERR")"),
        pipeRow(
            "ContainerIsAFifo",
            [](Scene& s) {
              s.container = s.expected = (s.dir / "fifo").string();
              ASSERT_EQ(::mkfifo(s.container.c_str(), 0600), 0);
            },
            kPlain)),
    rowName);

// Something already stands at an entry's name: it is replaced, and nothing is written through it.
Row standingRow(std::string name, std::function<void(const Scene&)> put) {
  return {std::move(name),
          [put](Scene& s) {
            testing::writeFile(s.dir / "outside", kOldBytes);
            put(s);
            plant(s, kFew);
          },
          {},
          [](const Scene& s, const Outcome& o) {
            EXPECT_EQ(o.status, 0);
            EXPECT_EQ(testing::readFile(s.dir / "outside"), kOldBytes);
            EXPECT_FALSE(fs::exists(s.dir / "nowhere"));
            expectFiles(s, kFew);
          }};
}

INSTANTIATE_TEST_SUITE_P(
    NamesInTheWay, Surroundings,
    ::testing::Values(
        standingRow("Fifo",
                    [](const Scene& s) { ASSERT_EQ(::mkfifo((s.work / "one").c_str(), 0600), 0); }),
        standingRow("HardLinkToOutside",
                    [](const Scene& s) { link(s.dir / "outside", s.work / "one", false); }),
        standingRow("SymbolicLinksOut",
                    [](const Scene& s) {
                      link(s.dir / "outside", s.work / "one", true);
                      link(s.dir / "nowhere", s.work / "two", true);
                    }),
        Row{"LinksPlantedDuringTheRun",
            [](Scene& s) {
              testing::writeFile(s.dir / "outside", kOldBytes);
              plant(s, numberedFiles("f", 3000, true));
            },
            [](Scene& s) {
              const Planter planter(s, 3000);
              return runShell(s, kPlain);
            },
            [](const Scene& s, const Outcome&) {
              EXPECT_EQ(testing::readFile(s.dir / "outside"), kOldBytes);
              EXPECT_FALSE(fs::exists(s.dir / "nowhere"));
            }}),
    rowName);

// Files too big for the disk fail alone, and leave nothing, not even a temporary, behind;
// a large file that fits, after them, holds its own bytes and nothing of theirs.
Row diskFillsRow(std::string name, bool noTmpfile) {
  static const Bytes fits = testing::pseudoRandomBytes(200000, 11);
  return {std::move(name),
          [noTmpfile](Scene& s) {
            mountSmallDisk(s);
            testing::writeFile(s.work / "keep", kOldBytes);
            plant(s, {{"keep", mebibytes(2)},
                      {"new", mebibytes(2)},
                      {"small", "ten bytes!"},
                      {"fits", fits}});
            s.faults.noTmpfile = noTmpfile;
          },
          {},
          [](const Scene& s, const Outcome& o) {
            EXPECT_EQ(o.status, 1);
            expectLines(o.err, {"kzb-extract: keep: write failed: No space left on device",
                                "kzb-extract: new: write failed: No space left on device"});
            expectFiles(s, {{"keep", kOldBytes}, {"small", "ten bytes!"}, {"fits", fits}});
            EXPECT_EQ(listing(s.work), (std::set<std::string>{"keep", "small", "fits"}));
          }};
}

const Bytes kCutShort = testing::pseudoRandomBytes(100, 7);

// Large payloads on pages go by the system's copy where it will copy: from a file system it
// will not copy from (a tmpfs to the disk, on many kernels), the bytes go through the tool.
// A read error half way into a payload of 1 MiB, which two rows share: each fails, and
// leaves nothing, not even the file that stood at its name.
Row readErrorRow(std::string name, bool onPages) {
  return {std::move(name),
          [onPages](Scene& s) {
            testing::writeFile(s.work / "broken", kOldBytes);
            const Bytes bytes = layout({{u"broken", 1}, {u"other", 0}, {u"fresh", 1}},
                                       {"intact", mebibytes(1)}, Chunk("HEAD"), onPages);
            testing::writeFile(s.container, bytes);
            s.faults.eioAt = bytes.size() - (1u << 19);  // half way into the last payload
          },
          {},
          [](const Scene& s, const Outcome& o) {
            EXPECT_EQ(o.status, 1);
            EXPECT_EQ(o.err,
                      "kzb-extract: broken: read error: Input/output error\n"
                      "kzb-extract: fresh: read error: Input/output error\n");
            expectFiles(s, {{"broken", kOldBytes}, {"other", "intact"}});
            EXPECT_EQ(listing(s.work), (std::set<std::string>{"broken", "other"}));
          }};
}

const std::vector<File> kLarge = {
    {"large", mebibytes(2)}, {"small", "ten bytes!"}, {"larger", mebibytes(3)}};

// The disk fills, the container ends early or lies about its length, reads fail.
INSTANTIATE_TEST_SUITE_P(
    DiskAndContainer, Surroundings,
    ::testing::Values(
        diskFillsRow("DiskFills", false), diskFillsRow("DiskFillsNamedTemporary", true),
        Row{"ContainerOnAnotherFileSystem",
            [](Scene& s) {
              mountTmpfs(s, "other", "16m");
              s.container = s.dir / "other" / "c.kzb";
              plantOnPages(s, kLarge);
            },
            {},
            [](const Scene& s, const Outcome& o) {
              EXPECT_EQ(o.status, 0);
              EXPECT_EQ(o.err, "");
              expectFiles(s, kLarge);
            }},
        Row{"DiskFillsDuringASystemCopy",
            [](Scene& s) {
              mountTmpfs(s, "disk", "5m");  // the container, and room for 1 MiB more
              s.work = s.dir / "disk" / "work";
              fs::create_directory(s.work);
              s.container = s.dir / "disk" / "c.kzb";
              testing::writeFile(s.work / "keep", kOldBytes);
              plantOnPages(
                  s, {{"keep", mebibytes(2)}, {"new", mebibytes(2)}, {"small", "ten bytes!"}});
            },
            {},
            [](const Scene& s, const Outcome& o) {
              EXPECT_EQ(o.status, 1);
              EXPECT_EQ(o.err,
                        "kzb-extract: keep: write failed: No space left on device\n"
                        "kzb-extract: new: write failed: No space left on device\n");
              expectFiles(s, {{"keep", kOldBytes}, {"small", "ten bytes!"}});
              EXPECT_EQ(listing(s.work), (std::set<std::string>{"keep", "small"}));
            }},
        Row{"ContainerEndsInsideAPayload",
            [](Scene& s) {
              testing::writeFile(s.work / "cut", kOldBytes);
              const Bytes bytes = layout({{u"twice", 0}, {u"cut", 1}, {u"fresh", 1}, {u"twice", 1}},
                                         {"whole", kCutShort});
              testing::writeFile(s.container, bytes.substr(0, bytes.size() - 50));
            },
            {},
            [](const Scene& s, const Outcome& o) {
              EXPECT_EQ(o.status, 1);
              expectLines(o.err, {"kzb-extract: cut: container ends inside this file's data; "
                                  "the existing file was kept",
                                  "kzb-extract: fresh: container ends inside this file's data"});
              expectFiles(
                  s, {{"cut", kOldBytes}, {"fresh", kCutShort.substr(0, 50)}, {"twice", "whole"}});
            }},
        Row{"RootClaimsAGibibyteMore",
            [](Scene& s) {
              plant(s, kFew);
              s.expected =
                  runShell(s, R"(mkdir ../intact && cd ../intact && @tool "$C" >"$OUT")").out;
              Bytes bytes = publish(kFew);
              bytes.replace(12, 4, testing::le32(1u << 30));
              testing::writeFile(s.container, bytes);
            },
            {},
            [](const Scene& s, const Outcome& o) {
              EXPECT_EQ(o.status, 1);
              EXPECT_NE(s.expected.find("File count : 2\n"), std::string::npos) << s.expected;
              EXPECT_EQ(o.out, s.expected);
              EXPECT_EQ(o.err, containerSays(s, "truncated or malformed container"));
              expectFiles(s, kFew);
            }},
        Row{"ReadErrorInTheFileTable",
            [](Scene& s) {
              plant(s, kFew);
              s.faults.eioAt = publish(kFew).find("FINF") + 8;
            },
            {},
            [](const Scene& s, const Outcome& o) {
              EXPECT_EQ(o.status, 1);
              EXPECT_EQ(o.err, containerSays(s, "read error: Input/output error"));
            }},
        readErrorRow("ReadErrorInAPayload", false),
        readErrorRow("ReadErrorInAPayloadOnPages", true)),
    rowName);

// A termination signal while "big" is being copied, slowly: "small" stays, nothing else does.
// Without unnamed temporaries, the temporary has a name that the signal must take away too.
Row signalRow(std::string name, int signal, bool noTmpfile) {
  return {std::move(name),
          [noTmpfile](Scene& s) {
            const Bytes big = mebibytes(32);
            plant(s, {{"small", "ten bytes!"}, {"big", big}});
            s.faults = {.readDelayMicroseconds = 50000, .noTmpfile = noTmpfile};
            std::array<char, 9> hex{};
            std::snprintf(hex.data(), hex.size(), "%x", testing::crc32(big));
            s.expected = "\t           CRC32 : " + std::string(hex.data()) + "\n";  // the last line
          },
          interrupted(signal,
                      [](const Scene& s) {
                        return fs::exists(s.work / "small") &&
                               testing::readFile(s.dir / "stdout").ends_with(s.expected);
                      }),
          [signal](const Scene& s, const Outcome& o) {
            EXPECT_EQ(o.status, 128 + signal);
            expectFiles(s, {{"small", "ten bytes!"}});
            EXPECT_EQ(listing(s.work), std::set<std::string>{"small"});
          }};
}

INSTANTIATE_TEST_SUITE_P(Signals, Surroundings,
                         ::testing::Values(signalRow("Interrupt", SIGINT, false),
                                           signalRow("InterruptNamedTemporary", SIGINT, true),
                                           signalRow("Terminate", SIGTERM, false),
                                           signalRow("TerminateNamedTemporary", SIGTERM, true),
                                           signalRow("HangUp", SIGHUP, false),
                                           signalRow("HangUpNamedTemporary", SIGHUP, true)),
                         rowName);

// Control characters in texts and names reach the terminal escaped, and the disk as they are.
INSTANTIATE_TEST_SUITE_P(
    Terminal, Surroundings,
    ::testing::Values(Row{
        "ControlCharactersAreEscaped",
        [](Scene& s) {
          const Chunk head = Chunk("HEAD")
                                 .text("TITL", u"T\x1b[31m\x07\nFile count : 99")
                                 .text("WRTR", u"w\u009bx")
                                 .text("PUBL", u"tab\there\\back");
          testing::writeFile(s.container,
                             layout({{u"a\033b", 0}, {u"bad\x1b", 0, 16}}, {"escaped name"}, head));
        },
        {},
        [](const Scene& s, const Outcome& o) {
          expectLines(o.out,
                      {"\t           Title : T\\x1b[31m\\x07\\x0aFile count : 99",
                       "\t          Writer : w\\x9bx", "\t       Publisher : tab\there\\back",
                       "\t       File name : a\\x1bb"});
          expectLines(o.err, {"kzb-extract: bad\\x1b: no stored file of the recorded size at "
                              "its position"});
          expectFiles(s, {{"a\033b", "escaped name"}});
        }}),
    rowName);

}  // namespace
}  // namespace kzb
