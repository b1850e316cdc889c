// kzb-mount, mounted for real (as root, where /dev/fuse and fusermount3 are present): the
// folders view holds what `kzb extract --each` writes, the CBZ view what `kzb convert` writes,
// read by other programs straight from the mount; containers damaged, unopenable, replaced
// while mounted; and an unmount while a file is open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "archive_reader.h"
#include "binary_runner.h"
#include "container_builder.h"
#include "temp_dir.h"

extern char** environ;

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::StoredFile;

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

int shell(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Why the mount tests cannot run here, or nothing when they can.
std::string whyNot() {
  if (geteuid() != 0) {
    return "kzb-mount's tests mount for real and need root";
  }
  if (!fs::exists("/dev/fuse")) {
    return "no /dev/fuse here (the kernel's FUSE is not available)";
  }
  if (shell("command -v fusermount3") != 0) {
    return "fusermount3 is not installed (Debian's fuse3)";
  }
  return {};
}

bool isMountPoint(const fs::path& point) {
  struct stat inner {};
  struct stat outer {};
  return stat(point.c_str(), &inner) == 0 && stat((point / "..").c_str(), &outer) == 0 &&
         inner.st_dev != outer.st_dev;
}

// kzb-mount in the foreground, as a child of the test, its stderr in a file; unmounted (and
// waited for) when the object goes, if not before.
class Mounted {
 public:
  // `withoutFilePermissionOverride`: it runs as root without the capabilities that let root
  // read any file, so a container whose mode is 000 cannot be opened.
  Mounted(const fs::path& source, const fs::path& point, const std::vector<std::string>& options,
          bool withoutFilePermissionOverride = false)
      : point_(point), errors_(point.string() + ".stderr") {
    fs::create_directories(point);
    std::vector<std::string> args;
    if (withoutFilePermissionOverride) {
      args = {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search"};
    }
    args.insert(args.end(), {KZB_MOUNT_BINARY, source.string(), point.string(), "-f"});
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errors_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      return;
    }
    for (int i = 0; i < 200 && !isMountPoint(point); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  ~Mounted() {
    if (pid_ > 0) {
      if (!unmount()) {
        shell("fusermount3 -u -z " + quoted(point_.string()));
        int status = 0;
        waitpid(pid_, &status, 0);
      }
    }
  }
  Mounted(const Mounted&) = delete;
  Mounted& operator=(const Mounted&) = delete;

  bool mounted() const { return pid_ > 0 && isMountPoint(point_); }
  // fusermount3 -u; true when the mount is gone and kzb-mount ended with status 0.
  bool unmount() {
    if (shell("fusermount3 -u " + quoted(point_.string())) != 0) {
      return false;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  std::string errors() const { return testing::readFile(errors_); }

 private:
  fs::path point_;
  std::string errors_;
  pid_t pid_ = -1;
};

#define SKIP_WITHOUT_FUSE()                               \
  do {                                                    \
    if (const std::string why = whyNot(); !why.empty()) { \
      GTEST_SKIP() << why;                                \
    }                                                     \
  } while (false)

Bytes containerOf(std::vector<StoredFile> files, const std::u16string& title = u"달빛 항해") {
  testing::Publication publication;
  publication.files = std::move(files);
  publication.texts = {{"TITL", title}, {"WRTR", u"김하늘"}};
  return testing::buildContainer(publication);
}

class MountTest : public ::testing::Test {
 protected:
  // SOURCE: a good container, a Hangul-named one in a folder, one cut short, one whose rows
  // share names, one that is no container, one that cannot be opened, a plain file and a
  // folder beside them.
  void SetUp() override {
    const fs::path source = dir_.path() / "source";
    fs::create_directories(source / "시리즈");
    const Bytes cut = containerOf({{u"a.jpg", testing::pseudoRandomBytes(5000, 1), {}},
                                   {u"b.jpg", testing::pseudoRandomBytes(9000, 2), {}}});
    containers_ = {
        {"book.kzb", containerOf({{u"001.jpg", testing::pseudoRandomBytes(300000, 3), {}},
                                  {u"002 표지.png", testing::pseudoRandomBytes(4097, 4), {}},
                                  {u"003.txt", "three", {}},
                                  {u"bad?name.jpg", "refused on Windows only", {}},
                                  {u"../escape", "refused", {}}})},
        {"시리즈/1권 한글.kzb", containerOf({{u"한글 1장.jpg", "가나다", {}}})},
        {"cut.kzb", cut.substr(0, cut.size() - 4000)},
        {"twice.kzb",
         containerOf({{u"p.jpg", "first", {}}, {u"q.jpg", "q", {}}, {u"p.jpg", "second", {}}})},
        {"garbage.kzb", "this is not a container"},
        {"upper.KZB", containerOf({{u"upper.jpg", "U", {}}})},
    };
    for (const auto& [name, bytes] : containers_) {
      testing::writeFile(source / testing::utf8Path(name), bytes);
    }
    testing::writeFile(source / "locked.kzb", containerOf({{u"x.jpg", "x", {}}}));
    fs::permissions(source / "locked.kzb", fs::perms::none);
    testing::writeFile(source / "시리즈" / "notes.txt", "plain file");
    source_ = source;
  }

  fs::path source_;
  std::vector<std::pair<std::string, Bytes>> containers_;
  testing::TempDir dir_;
};

// Every path under `root` with its kind, size and modification time, one a line.
std::string snapshot(const fs::path& root) {
  std::vector<std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat status {};
    lstat(entry.path().c_str(), &status);
    lines.push_back(entry.path().string() + " " + std::to_string(status.st_mode) + " " +
                    std::to_string(status.st_size) + " " + std::to_string(status.st_mtim.tv_sec) +
                    "." + std::to_string(status.st_mtim.tv_nsec));
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const std::string& line : lines) {
    all += line + "\n";
  }
  return all;
}

// Whether kzb writes nothing at all for the file at `path`, which is no container: there is
// nothing of kzb's to compare kzb-mount's view of it with.
bool nothingWritten(const fs::path& path) {
  return ArchiveReader(path.string()).walk().readNothing();
}

// The stem of a container's path ("시리즈/1권 한글.kzb" → "시리즈/1권 한글").
std::string stem(const std::string& path) {
  return path.substr(0, path.size() - 4);
}

TEST_F(MountTest, FoldersAreWhatExtractEachWrites) {
  SKIP_WITHOUT_FUSE();
  const std::string before = snapshot(source_);
  const fs::path point = dir_.path() / "mnt";
  Mounted mount(source_, point, {"--as", "folders"}, true);
  ASSERT_TRUE(mount.mounted()) << mount.errors();
  for (const auto& [name, bytes] : containers_) {
    SCOPED_TRACE(name);
    if (nothingWritten(source_ / testing::utf8Path(name))) {
      continue;
    }
    const std::string folder = stem(name);
    const fs::path out = dir_.path() / "extracted";
    fs::remove_all(out);
    fs::create_directories(out);
    testing::runProgram(KZB_BINARY, out,
                        {"extract", "--each", (source_ / testing::utf8Path(name)).string()});
    const fs::path expected = out / testing::utf8Path(folder).filename();
    EXPECT_EQ(shell("diff -r " + quoted(expected.string()) + " " +
                    quoted((point / testing::utf8Path(folder)).string())),
              0);
  }
  EXPECT_EQ(testing::readFile(point / "시리즈" / "notes.txt"), "plain file");
  EXPECT_FALSE(fs::exists(point / "locked"));
  EXPECT_FALSE(fs::exists(point / "book.kzb"));  // the container shows only as its folder
  std::vector<std::string> shown;
  for (const auto& entry : fs::directory_iterator(point)) {
    shown.push_back(testing::utf8String(entry.path().filename()));
  }
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(shown,
            (std::vector<std::string>{"book", "cut", "garbage", "twice", "upper", "시리즈"}));
  // Nothing can be written, there or in SOURCE through it.
  EXPECT_FALSE(std::ofstream(point / "new.txt"));
  EXPECT_FALSE(std::ofstream(point / "book" / "003.txt", std::ios::app));
  ASSERT_TRUE(mount.unmount());
  const std::string errors = mount.errors();
  EXPECT_NE(errors.find("locked.kzb: cannot open"), std::string::npos) << errors;
  EXPECT_NE(errors.find("cut.kzb: damaged"), std::string::npos) << errors;
  EXPECT_NE(errors.find("garbage.kzb: damaged"), std::string::npos) << errors;
  EXPECT_EQ(snapshot(source_), before);
}

// Listens as the system log does on /dev/log, where no logging daemon does: a socket of the
// test's own, removed with it. Not listening where /dev/log stands already.
class SystemLog {
 public:
  SystemLog() {
    if (fs::exists(kPath)) {
      return;
    }
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kPath, sizeof(address.sun_path) - 1);
    const timeval timeout{5, 0};
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~SystemLog() {
    if (fd_ >= 0) {
      close(fd_);
      unlink(kPath);
    }
  }
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  bool listening() const { return fd_ >= 0; }
  // The messages taken until one holds `text`, or none has come for five seconds.
  std::string messagesUntil(const std::string& text) const {
    std::string messages;
    char message[4096];
    while (messages.find(text) == std::string::npos) {
      const ssize_t got = recv(fd_, message, sizeof(message), 0);
      if (got <= 0) {
        break;
      }
      messages.append(message, static_cast<std::size_t>(got)).push_back('\n');
    }
    return messages;
  }

 private:
  static constexpr const char* kPath = "/dev/log";
  int fd_ = -1;
};

// Without -f, kzb-mount returns once the mount is ready, goes on serving it, and says what it
// left out in the system log.
TEST_F(MountTest, DetachesOnceTheMountIsReadyAndTellsTheSystemLog) {
  SKIP_WITHOUT_FUSE();
  const SystemLog log;
  const fs::path point = dir_.path() / "mnt";
  fs::create_directories(point);
  const testing::Outcome outcome =
      testing::runProgram(KZB_MOUNT_BINARY, dir_.path(), {source_.string(), point.string()});
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  ASSERT_TRUE(isMountPoint(point));
  EXPECT_EQ(testing::readFile(point / "book" / "003.txt"), "three");
  EXPECT_FALSE(fs::exists(point / "garbage" / "x"));  // looks at garbage.kzb
  const std::string line = "kzb-mount: " + (source_ / "garbage.kzb").string() + ": damaged";
  const std::string messages = log.listening() ? log.messagesUntil(line) : "";
  EXPECT_EQ(shell("fusermount3 -u " + quoted(point.string())), 0);
  EXPECT_EQ(outcome.err.find("garbage.kzb"), std::string::npos) << outcome.err;
  if (!log.listening()) {
    GTEST_SKIP() << "/dev/log is the system logger's: the lines in the system log go unchecked";
  }
  EXPECT_NE(messages.find(line), std::string::npos) << messages;
}

TEST_F(MountTest, CbzFilesAreWhatConvertWritesAndReadersOpenThem) {
  SKIP_WITHOUT_FUSE();
  const fs::path point = dir_.path() / "mnt";
  // One parsed container at most: each is parsed again as the next is looked at, and a file
  // open on one reads on after the cache has let it go.
  Mounted mount(source_, point, {"--as", "cbz", "--cache", "1"});
  ASSERT_TRUE(mount.mounted()) << mount.errors();
  const fs::path out = dir_.path() / "converted";
  fs::create_directories(out);
  for (const auto& [name, bytes] : containers_) {
    SCOPED_TRACE(name);
    if (nothingWritten(source_ / testing::utf8Path(name))) {
      continue;
    }
    const std::string cbz = stem(name) + ".cbz";
    const fs::path converted = out / testing::utf8Path(cbz).filename();
    testing::runProgram(KZB_BINARY, out, {"convert", (source_ / testing::utf8Path(name)).string()});
    const std::string mounted = (point / testing::utf8Path(cbz)).string();
    ASSERT_EQ(shell("cmp " + quoted(converted.string()) + " " + quoted(mounted)), 0);
    EXPECT_EQ(shell("python3 -c 'import sys, zipfile; "
                    "sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)' " +
                    quoted(mounted)),
              0);
    EXPECT_EQ(shell("unzip -tq " + quoted(mounted)), 0);
    EXPECT_EQ(shell("7z t " + quoted(mounted)), 0);
    EXPECT_EQ(shell("bsdtar -tf " + quoted(mounted)), 0);
  }
  if (shell("command -v ebook-meta") == 0) {
    const fs::path meta = dir_.path() / "meta.txt";
    std::system(("ebook-meta " + quoted((point / "book.cbz").string()) + " > " +
                 quoted(meta.string()) + " 2>&1")
                    .c_str());
    EXPECT_NE(testing::readFile(meta).find("달빛 항해"), std::string::npos)
        << testing::readFile(meta);
  }

  // Reads at odd offsets and of odd lengths, in no order.
  const std::string whole = testing::readFile(out / "book.cbz");
  const int fd = ::open((point / "book.cbz").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  std::string buffer(70000, '\0');
  for (std::size_t i = 0; i < 200; ++i) {
    const std::size_t offset = (i * 104729) % (whole.size() + 100);
    const std::size_t length = 1 + (i * 7919) % buffer.size();
    const ssize_t got = pread(fd, buffer.data(), length, static_cast<off_t>(offset));
    const std::size_t expected =
        offset >= whole.size() ? 0 : std::min(length, whole.size() - offset);
    ASSERT_EQ(got, static_cast<ssize_t>(expected)) << offset;
    ASSERT_TRUE(buffer.compare(0, expected, whole, std::min(offset, whole.size()), expected) == 0)
        << offset;
  }
  close(fd);
  ASSERT_TRUE(mount.unmount());
}

// A container replaced under SOURCE shows as the new one on the next look; a file opened
// before reads on.
TEST_F(MountTest, AContainerReplacedWhileMountedShowsTheNewOne) {
  SKIP_WITHOUT_FUSE();
  for (const std::string view : {"folders", "cbz"}) {
    SCOPED_TRACE(view);
    const fs::path point = dir_.path() / ("mnt-" + view);
    Mounted mount(source_, point, {"--as", view});
    ASSERT_TRUE(mount.mounted()) << mount.errors();
    const fs::path old = point / (view == "cbz" ? "twice.cbz" : "twice/p.jpg");
    std::ifstream before(old, std::ios::binary);
    ASSERT_TRUE(before);
    const std::uintmax_t oldSize = fs::file_size(old);

    const std::string longer(5000, 'n');
    testing::writeFile(dir_.path() / "new.kzb", containerOf({{u"p.jpg", longer, {}}}));
    fs::rename(dir_.path() / "new.kzb", source_ / "twice.kzb");
    std::uintmax_t size = oldSize;
    for (int i = 0; i < 50 && size == oldSize; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      size = fs::file_size(old);
    }
    EXPECT_NE(size, oldSize);
    if (view == "folders") {
      EXPECT_EQ(testing::readFile(old), longer);
      EXPECT_FALSE(fs::exists(point / "twice" / "q.jpg"));
    }
    // The file opened before still reads (what it reads is the kernel's cache of the path,
    // which the new look has filled with the new bytes).
    const std::string kept{std::istreambuf_iterator<char>(before), {}};
    EXPECT_FALSE(kept.empty());
    before.close();
    ASSERT_TRUE(mount.unmount());
    testing::writeFile(source_ / "twice.kzb", containers_[3].second);
  }
}

// An unmount while a file is open is refused as busy and the mount goes on serving; once the
// file is closed the unmount succeeds and kzb-mount ends well.
TEST_F(MountTest, UnmountWhileAFileIsOpen) {
  SKIP_WITHOUT_FUSE();
  const fs::path point = dir_.path() / "mnt";
  Mounted mount(source_, point, {});
  ASSERT_TRUE(mount.mounted()) << mount.errors();
  const int fd = ::open((point / "book" / "003.txt").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_NE(shell("fusermount3 -u " + quoted(point.string())), 0);
  char buffer[16] = {};
  EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 5);
  EXPECT_EQ(std::string(buffer), "three");
  close(fd);
  EXPECT_TRUE(mount.unmount());
  EXPECT_FALSE(isMountPoint(point));
}

}  // namespace
}  // namespace kzb
