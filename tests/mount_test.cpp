// kzb-mount, mounted for real (as root, where /dev/fuse and fusermount3 are present): the
// folders view holds what `kzb extract --each` writes, the CBZ view what `kzb convert` writes,
// the EPUB view what `kzb convert --to epub` writes, read by other programs straight from the
// mount; containers damaged, unopenable, replaced
// while mounted; and an unmount while a file is open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "archive_reader.h"
#include "binary_runner.h"
#include "container_builder.h"
#include "sample_books.h"
#include "temp_dir.h"

extern char** environ;

namespace kzb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
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
// Runs as root without the capabilities that let root read any file, so a container whose
// mode is 000 cannot be opened.
const std::vector<std::string> kWithoutReadingAnyFile = {
    "/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search"};

class Mounted {
 public:
  // `runUnder`: a command that runs kzb-mount under a restriction (kWithoutReadingAnyFile,
  // a limit of prlimit's).
  Mounted(const fs::path& source, const fs::path& point, const std::vector<std::string>& options,
          std::vector<std::string> runUnder = {})
      : point_(point), errors_(point.string() + ".stderr") {
    fs::create_directories(point);
    std::vector<std::string> args = std::move(runUnder);
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
  // Sends kzb-mount `signal`; true when it then ended with status 0.
  bool endWith(int signal) {
    if (pid_ <= 0 || kill(pid_, signal) != 0) {
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
  Mounted mount(source_, point, {"--as", "folders"}, kWithoutReadingAnyFile);
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
            (std::vector<std::string>{"book", "cut", "twice", "upper", "시리즈"}));
  // Nothing can be written, there or in SOURCE through it.
  EXPECT_FALSE(std::ofstream(point / "new.txt"));
  EXPECT_FALSE(std::ofstream(point / "book" / "003.txt", std::ios::app));
  ASSERT_TRUE(mount.unmount());
  const std::string errors = mount.errors();
  EXPECT_NE(errors.find("locked.kzb: cannot open"), std::string::npos) << errors;
  EXPECT_NE(errors.find("cut.kzb: damaged"), std::string::npos) << errors;
  EXPECT_NE(errors.find("garbage.kzb: not a container (its first chunk cannot be read); left out"),
            std::string::npos)
      << errors;
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
  const std::string line =
      "kzb-mount: " + (source_ / "garbage.kzb").string() + ": not a container";
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

// A mount is also ended by the signals that end a program in the foreground or a service,
// though a reader holds a file of it open: it unmounts, lets go of what it held for that
// file, and the end is a success, as an unmount's is.
TEST_F(MountTest, ASignalUnmountsAndEndsWithSuccess) {
  SKIP_WITHOUT_FUSE();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    const fs::path point = dir_.path() / "mnt";
    Mounted mount(source_, point, {});
    ASSERT_TRUE(mount.mounted()) << mount.errors();
    const int fd = ::open((point / "book" / "003.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buffer[16] = {};
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 5);
    EXPECT_TRUE(mount.endWith(signal)) << mount.errors();
    EXPECT_FALSE(isMountPoint(point));
    close(fd);
  }
}

// Mounts that would show themselves are refused at the start, with status 2, however the
// paths are spelled: the mount point is SOURCE, inside it (by "..", ".", a link, a bind
// mount), SOURCE is inside the mount point, or SOURCE is a container and the mount point its
// folder.
TEST_F(MountTest, AMountThatWouldShowItselfIsRefused) {
  SKIP_WITHOUT_FUSE();
  const fs::path dir = dir_.path();
  fs::create_directories(source_ / "inner");
  fs::create_directory_symlink(source_ / "inner", dir / "link");
  fs::create_directories(dir / "bound");
  ASSERT_EQ(::mount(source_.c_str(), (dir / "bound").c_str(), nullptr, MS_BIND, nullptr), 0);
  struct Case {
    fs::path cwd;
    std::string source;
    std::string point;
    std::string why;
  };
  const std::vector<Case> cases = {
      {dir, "source", "source", "is SOURCE itself"},
      {dir, "source", "source/inner", "is inside SOURCE"},
      {dir, "source/inner/..", "source", "is SOURCE itself"},
      {source_, ".", "inner", "is inside SOURCE"},
      {source_ / "inner", "..", ".", "is inside SOURCE"},
      {dir, "source", "link", "is inside SOURCE"},
      {dir, "source", "bound/inner", "is inside SOURCE"},
      {dir, "bound", "source/inner", "is inside SOURCE"},
      {dir, "source/inner", "source", "SOURCE is inside the mount point"},
      {dir, "source/book.kzb", "source", "is SOURCE's folder"},
      {dir, "source/book.kzb", "source/book.kzb", "is SOURCE itself"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.source + " at " + each.point);
    for (const std::string view : {"folders", "cbz", "epub"}) {
      const testing::Outcome outcome =
          testing::runProgram(KZB_MOUNT_BINARY, each.cwd, {each.source, each.point, "--as", view});
      if (outcome.status == 0) {
        // Mounted: detached at once, before any look at it waits on itself for good.
        shell("fusermount3 -u -z " + quoted((each.cwd / each.point).string()));
      }
      EXPECT_EQ(outcome.status, 2) << outcome.err;
      EXPECT_NE(outcome.err.find(each.why), std::string::npos) << outcome.err;
      EXPECT_NE(outcome.err.find("the mount would show itself"), std::string::npos);
    }
  }
  ::umount2((dir / "bound").c_str(), MNT_DETACH);
  // A container and a mount point beside it, in its folder, is no loop.
  Mounted beside(source_ / "book.kzb", source_ / "inner", {});
  EXPECT_TRUE(beside.mounted()) << beside.errors();
}

// A mount that comes to stand inside SOURCE once mounted (here bound there) is not shown,
// so no walk of the mount goes into it: find ends, and sees the rest.
TEST_F(MountTest, TheMountsOwnRootIsNotWalkedInto) {
  SKIP_WITHOUT_FUSE();
  const fs::path point = dir_.path() / "mnt";
  Mounted mount(source_, point, {});
  ASSERT_TRUE(mount.mounted()) << mount.errors();
  fs::create_directories(source_ / "시리즈" / "inside");
  ASSERT_EQ(
      ::mount(point.c_str(), (source_ / "시리즈" / "inside").c_str(), nullptr, MS_BIND, nullptr),
      0);
  const fs::path listing = dir_.path() / "find.txt";
  const int status = std::system(
      ("timeout -s KILL 20 find " + quoted(point.string()) + " > " + quoted(listing.string()))
          .c_str());
  const std::string found = testing::readFile(listing);
  EXPECT_FALSE(fs::exists(point / "시리즈" / "inside"));
  ::umount2((source_ / "시리즈" / "inside").c_str(), MNT_DETACH);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << found;
  EXPECT_EQ(found.find("inside"), std::string::npos) << found;
  EXPECT_NE(found.find("notes.txt"), std::string::npos) << found;
}

// Reads an open file on to its end, a block at a time: what it gave, and the errno of a
// failed read (0 where it ended well). Every read but the last must be whole.
struct ReadOn {
  std::string bytes;
  int error = 0;
  bool shortRead = false;
};
ReadOn readOn(int fd) {
  ReadOn result;
  std::string block(128 * 1024, '\0');
  for (;;) {
    const ssize_t got = ::read(fd, block.data(), block.size());
    if (got < 0) {
      result.error = errno;
      return result;
    }
    if (got == 0) {
      return result;
    }
    if (static_cast<std::size_t>(got) < block.size()) {
      if (result.shortRead) {
        return result;  // two short reads: the second is no end of file
      }
      result.shortRead = true;
    }
    result.bytes.append(block.data(), static_cast<std::size_t>(got));
  }
}

// A file open on the mount reads the container it was opened on to its end, whatever becomes
// of the container's path; where its bytes are gone, the read fails with EIO, never short.
TEST_F(MountTest, AnOpenFileKeepsTheContainerItWasOpenedOn) {
  SKIP_WITHOUT_FUSE();
  constexpr std::size_t kPage = 4 << 20;
  constexpr std::size_t kFirst = 1 << 20;
  const fs::path library = dir_.path() / "library";
  const fs::path container = library / "x.kzb";
  const Bytes olds = containerOf({{u"page.bin", std::string(kPage, 'A'), {}}});
  const Bytes news = containerOf({{u"page.bin", std::string(kPage, 'B'), {}}});
  struct Case {
    std::string name;
    std::function<void()> change;
    bool bytesGone;
  };
  const std::vector<Case> cases = {
      {"replaced by rename",
       [&] {
         testing::writeFile(dir_.path() / "new.kzb", news);
         fs::rename(dir_.path() / "new.kzb", container);
       },
       false},
      {"unlinked", [&] { fs::remove(container); }, false},
      {"a FIFO in its place",
       [&] {
         fs::remove(container);
         ASSERT_EQ(mkfifo(container.c_str(), 0644), 0);
       },
       false},
      {"a folder in its place",
       [&] {
         fs::remove(container);
         fs::create_directory(container);
       },
       false},
      {"a link in its place",
       [&] {
         fs::remove(container);
         fs::create_symlink("elsewhere.kzb", container);
       },
       false},
      {"cut short in place", [&] { fs::resize_file(container, olds.size() / 2); }, true},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    fs::remove_all(library);
    fs::create_directories(library);
    testing::writeFile(container, olds);
    const fs::path point = dir_.path() / "mnt";
    Mounted mount(library, point, {});
    ASSERT_TRUE(mount.mounted()) << mount.errors();
    const int fd = ::open((point / "x" / "page.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::string first(kFirst, '\0');
    ASSERT_EQ(::read(fd, first.data(), first.size()), static_cast<ssize_t>(kFirst));
    each.change();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the attribute timeout
    struct stat status {};
    static_cast<void>(::stat((point / "x" / "page.bin").c_str(), &status));
    const ReadOn rest = readOn(fd);
    close(fd);
    if (each.bytesGone) {
      EXPECT_EQ(rest.error, EIO);
      EXPECT_LT(rest.bytes.size(), kPage - kFirst);
    } else {
      EXPECT_EQ(rest.error, 0) << std::strerror(rest.error);
      EXPECT_EQ(rest.bytes.size(), kPage - kFirst);
    }
    EXPECT_EQ(rest.bytes.find_first_not_of('A'), std::string::npos);
    EXPECT_FALSE(rest.shortRead && !each.bytesGone);  // cut short: EIO follows the part read
    ASSERT_TRUE(mount.unmount());
  }
}

// A container's folder held open (here by a descriptor) while the container is replaced looks
// in the container it was opened on alone: a name only the new one has is not found there, and
// a name both have gives the old file while the old container is still parsed, or fails once
// it can be parsed no more; never the new one's. The folder's path shows the new container.
TEST_F(MountTest, AFolderHeldOverAReplacementNeverMixesContainers) {
  SKIP_WITHOUT_FUSE();
  struct Case {
    std::string name;
    std::vector<std::string> options;
    bool oldStillParsed;
  };
  const std::vector<Case> cases = {
      {"the old container still parsed", {}, true},
      {"the old container let go", {"--cache", "1"}, false},
  };
  const Bytes olds = containerOf({{u"p.jpg", "old p", {}}, {u"q.jpg", "old q", {}}});
  const Bytes news = containerOf({{u"p.jpg", "the new p", {}}, {u"r.jpg", "new r", {}}});
  const fs::path library = dir_.path() / "library";
  const fs::path point = dir_.path() / "mnt";
  for (const Case& each : cases) {
    SCOPED_TRACE(each.name);
    fs::remove_all(library);
    fs::create_directories(library);
    testing::writeFile(library / "x.kzb", olds);
    Mounted mount(library, point, each.options);
    ASSERT_TRUE(mount.mounted()) << mount.errors();
    const int folder = ::open((point / "x").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    struct stat status {};
    EXPECT_EQ(fstatat(folder, "q.jpg", &status, 0), 0);
    testing::writeFile(dir_.path() / "new.kzb", news);
    fs::rename(dir_.path() / "new.kzb", library / "x.kzb");
    std::this_thread::sleep_for(1100ms);  // past the entry timeout
    // The new container is parsed here; with --cache 1 the old one is let go.
    EXPECT_EQ(testing::readFile(point / "x" / "r.jpg"), "new r");
    EXPECT_EQ(testing::readFile(point / "x" / "p.jpg"), "the new p");
    EXPECT_FALSE(fs::exists(point / "x" / "q.jpg"));

    errno = 0;
    EXPECT_NE(fstatat(folder, "r.jpg", &status, 0), 0);
    EXPECT_TRUE(errno == ENOENT || errno == ESTALE) << std::strerror(errno);
    const int old = openat(folder, "p.jpg", O_RDONLY);
    if (each.oldStillParsed) {
      ASSERT_GE(old, 0) << std::strerror(errno);
      EXPECT_EQ(readOn(old).bytes, "old p");
      close(old);
    } else {
      EXPECT_LT(old, 0);
      EXPECT_TRUE(errno == ENOENT || errno == ESTALE) << std::strerror(errno);
    }
    close(folder);
    ASSERT_TRUE(mount.unmount());
  }
}

// What the kernel lets go of is looked up again as it was, and what it still holds (a folder
// and a file open) goes on working once it has let go of every name it could, in each view.
// No two files share a number, which tar and du would take for one file linked twice.
TEST_F(MountTest, NamesTheKernelLetsGoOfAreFoundAgainAndThoseItHoldsStay) {
  SKIP_WITHOUT_FUSE();
  for (const std::string view : {"folders", "cbz"}) {
    SCOPED_TRACE(view);
    const fs::path point = dir_.path() / ("mnt-" + view);
    Mounted mount(source_, point, {"--as", view});
    ASSERT_TRUE(mount.mounted()) << mount.errors();
    const std::string before = snapshot(point);
    std::set<ino_t> numbers;
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(point)) {
      struct stat status {};
      ASSERT_EQ(lstat(entry.path().c_str(), &status), 0) << entry.path();
      numbers.insert(status.st_ino);
      ++files;
    }
    EXPECT_EQ(numbers.size(), files);
    EXPECT_GE(files, 8u);

    const int folder = ::open((point / "시리즈").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    const fs::path held = point / (view == "cbz" ? "book.cbz" : "book/003.txt");
    const std::string whole = testing::readFile(held);
    const int file = ::open(held.c_str(), O_RDONLY);
    ASSERT_GE(file, 0);
    shell("sync; echo 2 > /proc/sys/vm/drop_caches");

    struct stat status {};
    EXPECT_EQ(fstatat(folder, "notes.txt", &status, 0), 0) << std::strerror(errno);
    EXPECT_EQ(readOn(file).bytes, whole);
    EXPECT_EQ(snapshot(point), before);
    close(file);
    close(folder);
    ASSERT_TRUE(mount.unmount());
  }
}

// The CBZ opened before its container was replaced reads on as the ZIP of the old one, a
// file opened after reads the new one's, both open at once, and each is what kzb convert
// writes of its container.
TEST_F(MountTest, ACbzOpenBeforeAReplacementReadsTheOldContainer) {
  SKIP_WITHOUT_FUSE();
  const fs::path library = dir_.path() / "library";
  fs::create_directories(library);
  const fs::path container = library / "x.kzb";
  const fs::path converted = dir_.path() / "converted";
  fs::create_directories(converted);
  std::vector<std::string> zips;
  for (const char fillWith : {'A', 'B'}) {
    testing::writeFile(container, containerOf({{u"p1.bin", std::string(3 << 20, fillWith), {}},
                                               {u"p2.bin", std::string(3 << 20, fillWith), {}}}));
    testing::runProgram(KZB_BINARY, converted, {"convert", container.string()});
    zips.push_back(testing::readFile(converted / "x.cbz"));
    if (fillWith == 'A') {
      fs::rename(container, dir_.path() / "old.kzb");
    }
  }
  fs::rename(dir_.path() / "old.kzb", container);
  const fs::path point = dir_.path() / "mnt";
  Mounted mount(library, point, {"--as", "cbz"});
  ASSERT_TRUE(mount.mounted()) << mount.errors();
  const int before = ::open((point / "x.cbz").c_str(), O_RDONLY);
  ASSERT_GE(before, 0);
  std::string first(1 << 20, '\0');
  ASSERT_EQ(::read(before, first.data(), first.size()), static_cast<ssize_t>(first.size()));
  testing::writeFile(dir_.path() / "new.kzb",
                     containerOf({{u"p1.bin", std::string(3 << 20, 'B'), {}},
                                  {u"p2.bin", std::string(3 << 20, 'B'), {}}}));
  fs::last_write_time(dir_.path() / "new.kzb", fs::last_write_time(container) + 5s);
  fs::rename(dir_.path() / "new.kzb", container);
  testing::runProgram(KZB_BINARY, converted, {"convert", container.string()});
  zips[1] = testing::readFile(converted / "x.cbz");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const int after = ::open((point / "x.cbz").c_str(), O_RDONLY);
  ASSERT_GE(after, 0);
  std::string half(2 << 20, '\0');
  ASSERT_EQ(::read(after, half.data(), half.size()), static_cast<ssize_t>(half.size()));
  const ReadOn rest = readOn(before);
  const ReadOn restAfter = readOn(after);
  close(before);
  close(after);
  EXPECT_EQ(rest.error, 0);
  EXPECT_TRUE(first + rest.bytes == zips[0]);
  EXPECT_EQ(restAfter.error, 0);
  EXPECT_TRUE(half + restAfter.bytes == zips[1]);
  ASSERT_TRUE(mount.unmount());
}

// kzb-mount's command line is kzb's: CLI11's parser and its conventions, status 2 for a
// usage error named on one line, --help and --version on standard output.
TEST_F(MountTest, TheCommandLineIsKzbs) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  };
  const std::string none = (dir_.path() / "none").string();
  const std::vector<Case> cases = {
      {{"--help"}, 0, "Usage: kzb-mount [OPTIONS] SOURCE MOUNTPOINT", ""},
      {{"--version"}, 0, "kzb-mount " KZB_VERSION "\n", ""},
      {{none, none, "--as"}, 2, "", "kzb-mount: --as"},
      {{none, none, "--as", "zip"}, 2, "", "not 'zip'"},
      {{none, none, "--cache", "-1"}, 2, "", "not '-1'"},
      {{none, none, "--cache", "12abc"}, 2, "", "not '12abc'"},
      {{none, none, "--cache-size", "0"}, 2, "", "not '0'"},
      {{none, none, "--language", "ko_KR"}, 2, "", "not 'ko_KR'"},
      {{none, none, "--as", "epub", "--language"}, 2, "", "kzb-mount: --language"},
      {{none}, 2, "", "MOUNTPOINT is required"},
      {{none, none, "--bogus"}, 2, "", "--bogus"},
      {{none, none}, 1, "", "No such file or directory"},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.args.back());
    const testing::Outcome outcome = testing::runProgram(KZB_MOUNT_BINARY, dir_.path(), each.args);
    EXPECT_EQ(outcome.status, each.status) << outcome.err;
    EXPECT_NE(outcome.out.find(each.out), std::string::npos) << outcome.out;
    EXPECT_NE(outcome.err.find(each.err), std::string::npos) << outcome.err;
    if (each.status == 2) {
      EXPECT_NE(outcome.err.find("(see 'kzb-mount --help')"), std::string::npos) << outcome.err;
      EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << outcome.err;
    }
  }
}

// A container left out is told once per mount, however often it is listed or looked up, in
// each view.
// A container larger than the process may hold, under a limit on its memory, fails the looks
// at it with ENOMEM; the mount goes on showing the others, in each view.
TEST_F(MountTest, AContainerTooLargeForTheMemoryFailsAloneAndTheMountGoesOn) {
  SKIP_WITHOUT_FUSE();
  testing::Publication large;
  for (int i = 0; i < 300000; ++i) {
    large.files.push_back(
        {u"a page of a rather long name, number " + testing::utf16FromUtf8(std::to_string(i)) +
             u".txt",
         "x", {}});
  }
  testing::writeFile(source_ / "large.kzb", testing::buildContainer(large));
  for (const std::string view : {"folders", "cbz", "epub"}) {
    SCOPED_TRACE(view);
    const fs::path point = dir_.path() / ("mnt-" + view);
    Mounted mount(source_, point, {"--as", view}, {"/usr/bin/prlimit", "--as=100000000"});
    if (!mount.mounted()) {  // a sanitizer's build reserves more than the limit at its start
      GTEST_SKIP() << "kzb-mount does not start under a 100 MB limit: " << mount.errors();
    }
    // The folder's files, or the book's size, are known only from a parse.
    const fs::path shown = point / (view == "folders" ? "large/x" : "large." + view);
    struct stat attributes {};
    EXPECT_NE(::stat(shown.c_str(), &attributes), 0);
    EXPECT_EQ(errno, ENOMEM) << std::strerror(errno);
    const fs::path other = point / (view == "folders" ? "book/003.txt" : "book." + view);
    EXPECT_TRUE(fs::exists(other));
    ASSERT_TRUE(mount.unmount()) << mount.errors();
  }
}

// Out of descriptors, a look at a container fails with EMFILE for that moment: the container
// is not told left out, and it shows once files are closed.
TEST_F(MountTest, OutOfDescriptorsALookFailsForTheMomentOnly) {
  SKIP_WITHOUT_FUSE();
  const fs::path source = dir_.path() / "many";
  fs::create_directories(source);
  for (int i = 0; i < 30; ++i) {
    testing::writeFile(source / ("c" + std::to_string(i) + ".kzb"),
                       containerOf({{u"page.txt", "page " + std::to_string(i), {}}}));
  }
  const fs::path point = dir_.path() / "mnt";
  Mounted mount(source, point, {}, {"/usr/bin/prlimit", "--nofile=24"});
  ASSERT_TRUE(mount.mounted()) << mount.errors();
  std::vector<int> open;
  int refused = -1;
  for (int i = 0; i < 30 && refused < 0; ++i) {
    const fs::path page = point / ("c" + std::to_string(i)) / "page.txt";
    const int fd = ::open(page.c_str(), O_RDONLY);
    if (fd >= 0) {
      open.push_back(fd);
    } else {
      const int why = errno;
      // A sanitizer's own checks read /proc and so need a descriptor: out of them, it
      // stops the process over an object it could not check.
      if (mount.errors().find("runtime error") != std::string::npos) {
        for (const int held : open) {
          close(held);
        }
        GTEST_SKIP() << "a sanitizer's checks need descriptors: " << mount.errors();
      }
      EXPECT_EQ(why, EMFILE) << std::strerror(why);
      refused = i;
    }
  }
  ASSERT_GE(refused, 0) << "every container opened under a limit of 24 descriptors";
  for (const int fd : open) {
    close(fd);
  }
  // The kernel tells the mount of a close after the close has returned: the descriptors
  // come back a moment later.
  std::string text;
  for (int i = 0; i < 100 && text.empty(); ++i) {
    std::ifstream again(point / ("c" + std::to_string(refused)) / "page.txt");
    std::getline(again, text);
    if (text.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  EXPECT_EQ(text, "page " + std::to_string(refused));
  ASSERT_TRUE(mount.unmount());
  EXPECT_EQ(mount.errors().find("left out"), std::string::npos) << mount.errors();
}

TEST_F(MountTest, AContainerLeftOutIsToldOnce) {
  SKIP_WITHOUT_FUSE();
  const struct {
    std::string view;
    std::string twiceShownAs;  // what takes twice.kzb's name in the view
    std::string aFile;         // a file of the view, of another container
  } cases[] = {
      {"folders", "twice", "book/003.txt"},
      {"epub", "twice.epub", "book.epub"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.view);
    if (test.view == "folders") {
      fs::create_directories(source_ / test.twiceShownAs);
    } else {
      testing::writeFile(source_ / test.twiceShownAs, "not a book");
    }
    const fs::path point = dir_.path() / ("mnt-" + test.view);
    Mounted mount(source_, point, {"--as", test.view, "--cache", "1"});
    ASSERT_TRUE(mount.mounted()) << mount.errors();
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(shell("ls -l " + quoted(point.string())), 0);
      EXPECT_FALSE(fs::exists(point / "garbage" / "x"));
      EXPECT_TRUE(fs::exists(point / test.aFile));  // lets garbage.kzb go from the cache
    }
    ASSERT_TRUE(mount.unmount());
    fs::remove_all(source_ / test.twiceShownAs);
    const std::string errors = mount.errors();
    for (const std::string& line :
         {"twice.kzb: " + test.twiceShownAs + " stands beside it; left out",
          std::string("garbage.kzb: not a container"), std::string("cut.kzb: damaged")}) {
      std::size_t count = 0;
      for (std::size_t at = errors.find(line); at != std::string::npos;
           at = errors.find(line, at + 1)) {
        ++count;
      }
      EXPECT_EQ(count, 1u) << line << "\n" << errors;
    }
  }
}

// Where names sort out of table order, --renumber gives what kzb convert --renumber writes;
// without it the mount notes it once, as kzb convert does.
TEST_F(MountTest, RenumberedPagesAreWhatConvertRenumberWrites) {
  SKIP_WITHOUT_FUSE();
  const fs::path library = dir_.path() / "library";
  fs::create_directories(library);
  std::vector<StoredFile> pages = {{u"표지.png", "cover", {}}};
  for (int i = 2; i <= 20; ++i) {
    const std::string name = std::to_string(i) + ".png";
    pages.push_back({std::u16string(name.begin(), name.end()), name, {}});
  }
  testing::writeFile(library / "book.kzb", containerOf(pages));
  const fs::path out = dir_.path() / "converted";
  fs::create_directories(out);
  const testing::Outcome converted = testing::runProgram(
      KZB_BINARY, out, {"convert", "--renumber", (library / "book.kzb").string()});
  ASSERT_EQ(converted.status, 0) << converted.err;
  for (const bool renumber : {true, false}) {
    SCOPED_TRACE(renumber);
    const fs::path point = dir_.path() / (renumber ? "renumbered" : "plain");
    std::vector<std::string> options = {"--as", "cbz"};
    if (renumber) {
      options.emplace_back("--renumber");
    }
    Mounted mount(library, point, options);
    ASSERT_TRUE(mount.mounted()) << mount.errors();
    EXPECT_EQ(shell("cmp " + quoted((out / "book.cbz").string()) + " " +
                    quoted((point / "book.cbz").string())),
              renumber ? 0 : 1);
    EXPECT_EQ(shell("ls -l " + quoted(point.string())), 0);
    ASSERT_TRUE(mount.unmount());
    const std::string errors = mount.errors();
    const std::string note = "book.kzb: note: readers sort pages by name";
    EXPECT_EQ(errors.find(note) != std::string::npos, !renumber) << errors;
    EXPECT_EQ(errors.find(note), errors.rfind(note)) << errors;
  }
}

// Whether `fd` reads as `expected`, in reads of odd lengths at odd offsets, in no order, past
// its end too.
void expectPreadsAs(int fd, const std::string& expected) {
  std::string buffer(70000, '\0');
  for (std::size_t i = 0; i < 200; ++i) {
    const std::size_t offset = (i * 104729) % (expected.size() + 100);
    const std::size_t length = 1 + (i * 7919) % buffer.size();
    const ssize_t got = pread(fd, buffer.data(), length, static_cast<off_t>(offset));
    const std::size_t wanted =
        offset >= expected.size() ? 0 : std::min(length, expected.size() - offset);
    ASSERT_EQ(got, static_cast<ssize_t>(wanted)) << offset;
    ASSERT_TRUE(buffer.compare(0, wanted, expected, std::min(offset, expected.size()), wanted) == 0)
        << offset;
  }
}

// Each book of the EPUB view is what kzb convert --to epub writes with the same options, read
// whole and in pieces, for books of every kind of row.
TEST_F(MountTest, EpubFilesAreWhatConvertToEpubWrites) {
  SKIP_WITHOUT_FUSE();
  const fs::path library = dir_.path() / "library";
  fs::create_directories(library);
  const std::vector<testing::SampleBook> books = testing::sampleBooks(300000);
  for (const testing::SampleBook& book : books) {
    testing::writeFile(library / testing::utf8Path(book.name + ".kzb"), book.container);
  }
  const std::vector<std::vector<std::string>> optionSets = {
      {}, {"--renumber"}, {"--language", "ko-KR"}, {"--renumber", "--language", "en"}};
  for (const std::vector<std::string>& options : optionSets) {
    SCOPED_TRACE(::testing::PrintToString(options));
    const fs::path out = dir_.path() / "converted";
    fs::remove_all(out);
    fs::create_directories(out);
    std::vector<std::string> mountOptions = {"--as", "epub", "--cache", "1"};
    mountOptions.insert(mountOptions.end(), options.begin(), options.end());
    const fs::path point = dir_.path() / "mnt";
    Mounted mount(library, point, mountOptions);
    ASSERT_TRUE(mount.mounted()) << mount.errors();
    for (const testing::SampleBook& book : books) {
      SCOPED_TRACE(book.name);
      std::vector<std::string> args = {"convert", "--to", "epub"};
      args.insert(args.end(), options.begin(), options.end());
      args.push_back((library / testing::utf8Path(book.name + ".kzb")).string());
      testing::runProgram(KZB_BINARY, out, args);
      const std::string name = book.name + ".epub";
      const std::string converted = testing::readFile(out / testing::utf8Path(name));
      ASSERT_FALSE(converted.empty());
      EXPECT_TRUE(testing::readFile(point / testing::utf8Path(name)) == converted);
      const int fd = ::open((point / testing::utf8Path(name)).c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      expectPreadsAs(fd, converted);
      close(fd);
    }
    EXPECT_EQ(shell("unzip -tq " + quoted((point / (books[0].name + ".epub")).string())), 0);
    ASSERT_TRUE(mount.unmount());
  }
}

// A book open on the CBZ or EPUB view reads the container it was opened on to its end,
// whatever becomes of the path, as the book that container gives; where its bytes are gone
// (cut short in place), the read fails with EIO, and what came before is that book's.
TEST_F(MountTest, ABookOpenKeepsTheContainerItWasOpenedOn) {
  SKIP_WITHOUT_FUSE();
  const fs::path library = dir_.path() / "library";
  const fs::path container = library / "x.kzb";
  const fs::path converted = dir_.path() / "converted";
  const auto pages = [](char fill) {
    return containerOf({{u"1.png", testing::png(600, 800) + std::string(3 << 20, fill), {}},
                        {u"2.jpg", testing::jpeg(600, 800) + std::string(3 << 20, fill), {}}});
  };
  const Bytes olds = pages('A');
  struct Case {
    std::string name;
    std::function<void()> change;
    bool bytesGone;
  };
  const std::vector<Case> cases = {
      {"replaced by rename",
       [&] {
         testing::writeFile(dir_.path() / "new.kzb", pages('B'));
         fs::rename(dir_.path() / "new.kzb", container);
       },
       false},
      {"unlinked", [&] { fs::remove(container); }, false},
      {"cut short in place", [&] { fs::resize_file(container, olds.size() / 2); }, true},
  };
  for (const std::string view : {"cbz", "epub"}) {
    for (const Case& each : cases) {
      SCOPED_TRACE(view + ": " + each.name);
      fs::remove_all(library);
      fs::remove_all(converted);
      fs::create_directories(library);
      fs::create_directories(converted);
      testing::writeFile(container, olds);
      testing::runProgram(KZB_BINARY, converted, {"convert", "--to", view, container.string()});
      const std::string book = testing::readFile(converted / ("x." + view));
      ASSERT_GT(book.size(), std::size_t{6} << 20);
      const fs::path point = dir_.path() / "mnt";
      Mounted mount(library, point, {"--as", view});
      ASSERT_TRUE(mount.mounted()) << mount.errors();
      const int fd = ::open((point / ("x." + view)).c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      std::string first(1 << 20, '\0');
      ASSERT_EQ(::read(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
      each.change();
      std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the attribute timeout
      struct stat status {};
      static_cast<void>(::stat((point / ("x." + view)).c_str(), &status));
      const ReadOn rest = readOn(fd);
      close(fd);
      const std::string read = first + rest.bytes;
      if (each.bytesGone) {
        EXPECT_EQ(rest.error, EIO);
        EXPECT_LT(read.size(), book.size());
      } else {
        EXPECT_EQ(rest.error, 0) << std::strerror(rest.error);
      }
      EXPECT_TRUE(read.size() <= book.size() && book.compare(0, read.size(), read) == 0)
          << "read " << read.size() << " bytes that are not the book's first";
      ASSERT_TRUE(mount.unmount());
    }
  }
}

}  // namespace
}  // namespace kzb
