// kzb -j N: what a run shows and leaves does not depend on N. In-process through tool::run()
// on a mix of good, damaged and unopenable containers, and as the built program stopped by a
// signal while several jobs write.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "binary_runner.h"
#include "container_builder.h"
#include "temp_dir.h"
#include "tool.h"

namespace kzb {
namespace {

namespace fs = std::filesystem;
using testing::Bytes;
using testing::Outcome;

Bytes containerOf(const std::vector<std::pair<std::u16string, Bytes>>& files) {
  testing::Publication publication;
  publication.texts = {{"TITL", u"Jobs"}};
  for (const auto& [name, data] : files) {
    publication.files.push_back({name, data, {}});
  }
  return testing::buildContainer(publication);
}

// Every regular file under `dir`, hidden ones too: its path and its bytes.
std::map<std::string, std::string> tree(const fs::path& dir) {
  std::map<std::string, std::string> files;
  if (!fs::exists(dir)) {
    return files;
  }
  for (const auto& item : fs::recursive_directory_iterator(dir)) {
    if (item.is_regular_file()) {
      files[testing::utf8String(fs::relative(item.path(), dir))] = testing::readFile(item.path());
    }
  }
  return files;
}

// The library: containers beside two working directories, named as both see them.
class JobsTest : public ::testing::Test {
 protected:
  JobsTest() {
    fs::create_directories(dir_ / "lib" / "more");
    const auto write = [&](const std::string& name, const Bytes& bytes) {
      testing::writeFile(dir_ / "lib" / name, bytes);
      containers_.push_back("../lib/" + name);
    };
    const Bytes good =
        containerOf({{u"01.txt", "one"}, {u"02.bin", testing::pseudoRandomBytes(70000)}});
    write("good.kzb", good);
    write("cut.kzb", good.substr(0, good.size() - 30000));  // damaged: entries cut short
    containers_.push_back("../lib/missing.kzb");            // cannot be opened
    write("junk.kzb", "not a container at all");
    write("names.kzb", containerOf({{u"../up.txt", "refused"},
                                    {u"a.txt", "alpha"},
                                    {u"COM1.txt", "refused by Windows' rules"}}));
    write("more/good.kzb", good);  // the same folder and ZIP as good.kzb
    write("GOOD2.kzb", containerOf({{u"x", "x"}}));
    for (int i = 0; i < 6; ++i) {
      write("many" + std::to_string(i) + ".kzb",
            containerOf({{u"p" + std::u16string(1, static_cast<char16_t>(u'0' + i)),
                          testing::pseudoRandomBytes(20000 + 1000 * static_cast<std::size_t>(i),
                                                     static_cast<std::uint32_t>(i + 1))}}));
    }
  }

  // tool::run() in working directory `work` (made fresh), with `jobs` before the containers.
  Outcome run(const std::string& work, std::vector<std::string> args,
              const std::vector<std::string>& jobs) const {
    const fs::path dir = dir_ / work;
    fs::remove_all(dir);
    fs::create_directories(dir);
    args.insert(args.begin(), "kzb");
    args.insert(args.end(), jobs.begin(), jobs.end());
    args.insert(args.end(), containers_.begin(), containers_.end());
    const testing::ScopedCwd cwd(dir);
    std::ostringstream out;
    std::ostringstream err;
    tool::Context context{out, err};
    const int status = tool::run(args, context);
    return {status, out.str(), err.str()};
  }
  fs::path at(const std::string& work) const { return dir_ / work; }
  const std::vector<std::string>& containers() const { return containers_; }

 private:
  testing::TempDir dir_;
  std::vector<std::string> containers_;
};

TEST_F(JobsTest, ShowAndLeaveTheSameWhateverTheirNumber) {
  const std::vector<std::vector<std::string>> commands = {
      {"list"},
      {"list", "-l", "--include", "*.txt"},
      {"list", "--json"},
      {"test"},
      {"extract", "--each", "-v"},
      {"extract", "-v", "-C", "shared"},
      {"convert", "-C", "cbz"},
      {"convert", "--deflate", "--renumber"},
  };
  for (const std::vector<std::string>& command : commands) {
    const Outcome one = run("one", command, {"-j", "1"});
    const std::map<std::string, std::string> leftByOne = tree(at("one"));
    for (const std::vector<std::string>& jobs :
         {std::vector<std::string>{"-j", "4"}, {"--jobs=2"}, {}}) {
      const Outcome several = run("several", command, jobs);
      const std::string what =
          ::testing::PrintToString(command) + " " + ::testing::PrintToString(jobs);
      EXPECT_EQ(several.status, one.status) << what;
      EXPECT_EQ(several.out, one.out) << what;
      EXPECT_EQ(several.err, one.err) << what;
      EXPECT_EQ(tree(at("several")), leftByOne) << what;
    }
    EXPECT_EQ(one.status, 1) << ::testing::PrintToString(command);  // the mix has failures
  }
}

// A progress line redraws itself, so it cannot be replayed: with jobs at once there is none,
// even when asked for, and standard error is what a run without progress writes.
TEST_F(JobsTest, NoProgressLineWhileContainersRunAtOnce) {
  const Outcome plain = run("one", {"extract", "--each", "--no-progress"}, {"-j", "1"});
  const fs::path dir = at("several");
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::vector<std::string> args = {"kzb", "extract", "--each", "--progress", "-j", "4"};
  args.insert(args.end(), containers().begin(), containers().end());
  const testing::ScopedCwd cwd(dir);
  std::ostringstream out;
  std::ostringstream err;
  tool::Context context{out, err, true, std::chrono::milliseconds(0)};
  EXPECT_EQ(tool::run(args, context), plain.status);
  EXPECT_EQ(err.str(), plain.err);
  EXPECT_EQ(err.str().find('\r'), std::string::npos);
}

// Each container's lines on standard error come together, in argument order: the damaged
// container and its entry cut short, then the missing and the junk container.
TEST_F(JobsTest, StandardErrorInArgumentOrder) {
  const Outcome outcome = run("several", {"test"}, {"-j", "4"});
  std::vector<std::size_t> at;
  for (const std::string subject :
       {"../lib/cut.kzb: ", "kzb: 02.bin: ", "../lib/missing.kzb: ", "../lib/junk.kzb: "}) {
    at.push_back(outcome.err.find(subject));
    EXPECT_NE(at.back(), std::string::npos) << subject << "\n" << outcome.err;
  }
  EXPECT_TRUE(std::is_sorted(at.begin(), at.end())) << outcome.err;
  // And standard output a line a container, in argument order.
  std::istringstream lines(outcome.out);
  std::size_t index = 0;
  for (std::string line; std::getline(lines, line); ++index) {
    ASSERT_LT(index, containers().size());
    EXPECT_TRUE(line.starts_with(containers()[index] + ": ")) << line;
  }
  EXPECT_EQ(index, containers().size());
}

// -j takes 1 to 4096, and says so of any other count.
TEST(JobsCount, IsOneTo4096) {
  testing::TempDir dir;
  const std::string c = testing::utf8String(dir.path() / "c.kzb");
  testing::writeFile(dir.path() / "c.kzb", containerOf({{u"a", "a"}}));
  for (const std::string count : {"0", "4097", "5000", "99999", "-1", "x"}) {
    std::ostringstream out;
    std::ostringstream err;
    tool::Context context{out, err};
    EXPECT_EQ(tool::run({"kzb", "test", "-j", count, c}, context), 2) << count;
    EXPECT_NE(err.str().find("-j: takes a count of 1 to 4096, not '" + count + "'"),
              std::string::npos)
        << err.str();
  }
  for (const std::string count : {"1", "4096"}) {
    std::ostringstream out;
    std::ostringstream err;
    tool::Context context{out, err};
    EXPECT_EQ(tool::run({"kzb", "test", "-j", count, c}, context), 0) << count << err.str();
  }
}

#ifndef _WIN32
// Near the limit on open descriptors, as many jobs as asked for would run out of them: the run
// takes only as many as the limit holds, and leaves what one job leaves, whatever -j says.
TEST(JobsDescriptors, FitTheLimitOnOpenFiles) {
  testing::TempDir dir;
  constexpr int kContainers = 120;
  std::vector<std::string> containers;
  for (int i = 0; i < kContainers; ++i) {
    const std::string name = "c" + std::to_string(i) + ".kzb";
    testing::writeFile(
        dir.path() / name,
        containerOf({{u"a.bin", testing::pseudoRandomBytes(200000, static_cast<std::uint32_t>(i))},
                     {u"b.bin", testing::pseudoRandomBytes(1000, static_cast<std::uint32_t>(i))}}));
    containers.push_back("../" + name);
  }
  testing::Launch limited;
  limited.prelude = "ulimit -n 48";
  std::map<std::string, std::string> byOne;
  for (const std::string jobs : {"1", "64", "4096"}) {
    for (const bool sync : {false, true}) {
      const fs::path work = dir.path() / ("j" + jobs + (sync ? "s" : ""));
      fs::create_directory(work);
      std::vector<std::string> args = {"extract", "--each", "-j", jobs};
      if (sync) {
        args.push_back("--sync");
      }
      args.insert(args.end(), containers.begin(), containers.end());
      const Outcome outcome = testing::runProgram(KZB_BINARY, work, args, limited);
      EXPECT_EQ(outcome.status, 0) << "-j " << jobs << (sync ? " --sync" : "");
      EXPECT_EQ(outcome.err, "") << "-j " << jobs << (sync ? " --sync" : "");
      const std::map<std::string, std::string> left = tree(work);
      EXPECT_EQ(left.size(), 2u * kContainers) << "-j " << jobs;
      if (byOne.empty()) {
        byOne = left;
      }
      for (const auto& [path, bytes] : byOne) {
        const auto found = left.find(path);
        EXPECT_TRUE(found != left.end() && found->second == bytes)
            << "-j " << jobs << (sync ? " --sync" : "") << ": " << path;
      }
    }
  }
}
#endif

#ifndef _WIN32
// SIGINT, SIGTERM or SIGHUP while two jobs write ZIPs slowly (every read delayed), with
// unnamed temporaries and with named ones: the run ends as the signal ends it, every ZIP
// that stands is whole (the bytes a run with one job writes), and no temporary remains.
TEST(JobsSignal, StopEveryJobAndLeaveNoPartialFile) {
  const std::string faults = KZB_IO_FAULTS_LIBRARY;
  if (!fs::exists(faults)) {
    GTEST_SKIP() << "the fault library is not built";
  }
  const struct {
    int signal;
    bool namedTemporaries;
  } rows[] = {{SIGINT, false}, {SIGINT, true}, {SIGTERM, true}, {SIGHUP, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message()
                 << "signal " << row.signal << (row.namedTemporaries ? ", named temporaries" : ""));
    testing::TempDir dir;
    std::vector<std::string> args = {"convert", "-j", "2", "-C"};
    std::vector<std::string> containers;
    for (int i = 0; i < 6; ++i) {
      const std::string name = "c" + std::to_string(i) + ".kzb";
      testing::writeFile(dir.path() / name,
                         containerOf({{u"page.bin", testing::pseudoRandomBytes(
                                                        std::size_t{3} << 20,
                                                        static_cast<std::uint32_t>(i + 7))}}));
      containers.push_back(testing::utf8String(dir.path() / name));
    }
    // The whole ZIPs, from a run of one job without faults.
    fs::create_directory(dir.path() / "whole");
    std::vector<std::string> wholeArgs = {"convert", "-j", "1", "-C",
                                          testing::utf8String(dir.path() / "whole")};
    wholeArgs.insert(wholeArgs.end(), containers.begin(), containers.end());
    ASSERT_EQ(testing::runProgram(KZB_BINARY, dir.path(), wholeArgs).status, 0);

    const fs::path out = dir.path() / "out";
    fs::create_directory(out);
    args.push_back(testing::utf8String(out));
    args.insert(args.end(), containers.begin(), containers.end());
    std::vector<std::string> envp = {"LD_PRELOAD=" + faults, "KZB_FAULT_READ_DELAY_US=20000",
                                     "ASAN_OPTIONS=verify_asan_link_order=0"};
    if (row.namedTemporaries) {
      envp.push_back("KZB_FAULT_NO_TMPFILE=1");
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(s, SIG_DFL);
      }
      for (const std::string& variable : envp) {
        ::putenv(const_cast<char*>(variable.c_str()));
      }
      std::vector<char*> argv = {const_cast<char*>(KZB_BINARY)};
      for (std::string& arg : args) {
        argv.push_back(arg.data());
      }
      argv.push_back(nullptr);
      ::execv(KZB_BINARY, argv.data());
      ::_exit(127);
    }
    // Once a ZIP is whole and the next ones are being written.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int raw = 0;
    bool sent = false;
    while (::waitpid(pid, &raw, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &raw, 0);
        FAIL() << (sent ? "kzb outlived the signal" : "kzb never wrote a ZIP");
      }
      if (!sent && fs::exists(out / "c0.cbz")) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sent = ::kill(pid, row.signal) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(sent) << "kzb ended before the signal";
    EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == row.signal) << raw;
    const std::map<std::string, std::string> left = tree(out);
    const std::map<std::string, std::string> whole = tree(dir.path() / "whole");
    EXPECT_GE(left.size(), 1u);
    EXPECT_LT(left.size(), whole.size()) << "the signal came after the last ZIP";
    for (const auto& [name, bytes] : left) {
      ASSERT_TRUE(whole.contains(name)) << name << " is no ZIP of the run";
      EXPECT_TRUE(bytes == whole.at(name)) << name << " is not whole";
    }
  }
}
#endif

}  // namespace
}  // namespace kzb
