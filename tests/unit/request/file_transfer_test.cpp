#include "platform/file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "transfer-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDirectory() { std::filesystem::remove_all(path_); }
    std::string write(const std::string &name, const std::string &bytes) const {
        std::filesystem::path file = path_ / name;
        std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
        return file.string();
    }
    std::string path_of(const std::string &name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Closes through release(), so a descriptor is closed exactly once whatever the
// owner's destructor does.
void close_file(platform::File &file) {
    if (file.valid())
        ::close(static_cast<int>(file.release()));
}

// Bytes that differ from one offset to the next, so a lost or repeated piece shows.
std::string pattern_bytes(std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((i * 131 + i / 4093) & 0xFF);
    return bytes;
}

TEST(OpenRegularFile, OnlyRegularFilesOpen) {
    TempDirectory directory;
    std::string file = directory.write("a.gif", "GIF89a");
    std::string fifo = directory.path_of("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    std::uint64_t size = 0;
    platform::File opened = platform::open_regular_file(file.c_str(), size);
    ASSERT_TRUE(opened.valid());
    EXPECT_EQ(size, 6u);
    // The descriptor reads like any other: the open's non-blocking flag is gone.
    EXPECT_EQ(fcntl(static_cast<int>(opened.get()), F_GETFL) & O_NONBLOCK, 0);
    close_file(opened);

    // A FIFO with no writer would hold a plain open for ever.
    const std::string refused[] = {directory.path_of(""), fifo, "/dev/null",
                                   directory.path_of("missing")};
    for (const auto &path : refused) {
        SCOPED_TRACE(path);
        platform::File file_handle = platform::open_regular_file(path.c_str(), size);
        EXPECT_FALSE(file_handle.valid());
        close_file(file_handle);
    }
}

// A connection seen from both ends: the sending end non-blocking, as accepted
// connections are, with a small send buffer so that it fills at once.
class SendFile : public ::testing::Test {
protected:
    TempDirectory directory;
    platform::Socket sender;
    int receiver = -1;

    void SetUp() override {
        // The server ignores SIGPIPE process-wide; a test of a closed peer must too.
        signal(SIGPIPE, SIG_IGN);
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        ASSERT_EQ(fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK), 0);
        int small = 16 * 1024;
        setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        sender = platform::Socket(ends[0]);
        receiver = ends[1];
    }
    void TearDown() override {
        if (sender.valid())
            ::close(static_cast<int>(sender.release()));
        if (receiver >= 0)
            ::close(receiver);
    }

    platform::File open(const std::string &path) {
        std::uint64_t size = 0;
        platform::File file = platform::open_regular_file(path.c_str(), size);
        EXPECT_TRUE(file.valid());
        return file;
    }

    // Reads in small pieces until the sender's end closes.
    std::string read_to_end() {
        std::string received;
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(receiver, buffer, sizeof buffer)) > 0)
            received.append(buffer, static_cast<std::size_t>(count));
        return received;
    }
};

TEST_F(SendFile, SlowReaderGetsTheWholeFile) {
    const std::string contents = pattern_bytes(5 * 1024 * 1024 + 3);
    platform::File file = open(directory.write("big.gif", contents));
    std::string received;
    std::thread reader([&] { received = read_to_end(); });
    EXPECT_EQ(platform::send_file(sender, file, contents.size(), deadline_after(20'000)), 0);
    ::shutdown(static_cast<int>(sender.get()), SHUT_WR);
    reader.join();
    EXPECT_EQ(received.size(), contents.size());
    EXPECT_TRUE(received == contents);
    close_file(file);
}

TEST_F(SendFile, EmptyCountSendsNothing) {
    platform::File file = open(directory.write("empty.html", ""));
    EXPECT_EQ(platform::send_file(sender, file, 0, deadline_after(1000)), 0);
    ::shutdown(static_cast<int>(sender.get()), SHUT_WR);
    EXPECT_EQ(read_to_end(), "");
    close_file(file);
}

TEST_F(SendFile, FileShorterThanAnnouncedIsNotPadded) {
    const std::string contents = pattern_bytes(1000);
    platform::File file = open(directory.write("short.html", contents));
    EXPECT_EQ(platform::send_file(sender, file, 5000, deadline_after(5000)), -1);
    ::shutdown(static_cast<int>(sender.get()), SHUT_WR);
    EXPECT_TRUE(read_to_end() == contents);
    close_file(file);
}

TEST_F(SendFile, StopsAtTheDeadlineWhenNobodyReads) {
    platform::File file = open(directory.write("big.gif", pattern_bytes(4 * 1024 * 1024)));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform::send_file(sender, file, 4 * 1024 * 1024, deadline_after(200)), -1);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(190));
    EXPECT_LT(waited, std::chrono::seconds(5));
    close_file(file);
}

TEST_F(SendFile, ClosedPeerFails) {
    platform::File file = open(directory.write("big.gif", pattern_bytes(1024 * 1024)));
    ::close(receiver);
    receiver = -1;
    EXPECT_EQ(platform::send_file(sender, file, 1024 * 1024, deadline_after(5000)), -1);
    close_file(file);
}

} // namespace
