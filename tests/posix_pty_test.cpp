// The POSIX platform files against a pseudo-terminal and real files; never a real serial port.
#include "line/os.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

// PTY_TEST_DIR is where ISP2313_PORT1 and ISP2313_PORT2 point, as port1 and port2.
static const std::string test_dir = PTY_TEST_DIR;

static std::string in_test_dir(const char* name) { return test_dir + "/" + name; }

// The ports' links and the files go with each test.
static void remove_test_dir()
{
    std::error_code ignored;
    std::filesystem::remove_all(test_dir, ignored);
}

static void point_port(const char* port, const std::string& target)
{
    std::string link = in_test_dir(port);
    unlink(link.c_str());
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
}

static void write_file(const std::string& path, const char* text)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs(text, file);
    std::fclose(file);
}

// A pseudo-terminal whose slave is port 1; slave_fd stays open to read the settings back.
struct PtyPort : ::testing::Test {
    int master_fd = -1;
    int slave_fd  = -1;

    void SetUp() override
    {
        mkdir(test_dir.c_str(), 0700);
        master_fd = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_fd, 0);
        ASSERT_EQ(grantpt(master_fd), 0);
        ASSERT_EQ(unlockpt(master_fd), 0);
        std::string slave = ptsname(master_fd);
        slave_fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_fd, 0);
        point_port("port1", slave);
    }

    void TearDown() override
    {
        close(slave_fd);
        close(master_fd);
        remove_test_dir();
    }
};

TEST_F(PtyPort, OpenSetsRaw115200EightNoneOneAndLeavesTheRest)
{
    termios before{};
    ASSERT_EQ(tcgetattr(slave_fd, &before), 0);
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS | HUPCL;
    before.c_iflag |= ICRNL | IXON | IXOFF | INPCK;
    before.c_oflag |= OPOST;
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cc[VTIME] = 7;
    ASSERT_EQ(tcsetattr(slave_fd, TCSANOW, &before), 0);

    os_handle port = os_port_open(1);
    ASSERT_NE(port, os_no_handle);
    termios after{};
    ASSERT_EQ(tcgetattr(slave_fd, &after), 0);
    os_port_close(port);

    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B115200));
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(after.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(after.c_iflag & (ICRNL | IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_NE(after.c_cflag & HUPCL, 0u);
    EXPECT_EQ(after.c_cc[VTIME], 7);
}

TEST_F(PtyPort, HeldPortFailsUntilClosed)
{
    os_handle first = os_port_open(1);
    ASSERT_NE(first, os_no_handle);
    EXPECT_EQ(os_port_open(1), os_no_handle);
    os_port_close(first);

    os_handle again = os_port_open(1);
    EXPECT_NE(again, os_no_handle);
    os_port_close(again);
}

TEST_F(PtyPort, MissingNonTerminalAndUnknownPortsFail)
{
    point_port("port2", in_test_dir("nothing-here"));
    EXPECT_EQ(os_port_open(2), os_no_handle);

    write_file(in_test_dir("plain"), "not a terminal");
    point_port("port2", in_test_dir("plain"));
    EXPECT_EQ(os_port_open(2), os_no_handle);

    EXPECT_EQ(os_port_open(0), os_no_handle);
    EXPECT_EQ(os_port_open(3), os_no_handle);
}

struct ImageFile : ::testing::Test {
    void SetUp() override { mkdir(test_dir.c_str(), 0700); }
    void TearDown() override { remove_test_dir(); }
};

// A FIFO without a writer would block a plain open for ever.
TEST_F(ImageFile, RefusesAllButRegularFiles)
{
    std::string fifo = in_test_dir("fifo");
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    EXPECT_EQ(os_open_regular_file(test_dir.c_str()), nullptr);
    EXPECT_EQ(os_open_regular_file(fifo.c_str()), nullptr);
    EXPECT_EQ(os_open_regular_file("/dev/null"), nullptr);
    EXPECT_EQ(os_open_regular_file(in_test_dir("nothing-here").c_str()), nullptr);
}

TEST_F(ImageFile, RegularFileReadsInBlockingMode)
{
    std::string path = in_test_dir("image.bin");
    write_file(path, "AB");
    std::FILE* stream = os_open_regular_file(path.c_str());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(fcntl(fileno(stream), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(std::fgetc(stream), 'A');
    EXPECT_EQ(std::fgetc(stream), 'B');
    EXPECT_EQ(std::fgetc(stream), EOF);
    std::fclose(stream);
}

TEST_F(ImageFile, TellAndSeekPastFourGigabytes)
{
    const std::int64_t size = 4294967298;   // 4 GiB + 2
    std::string path = in_test_dir("sparse.bin");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    close(fd);

    std::FILE* stream = os_open_regular_file(path.c_str());
    ASSERT_NE(stream, nullptr);
    EXPECT_TRUE(os_file_seek(stream, 0, SEEK_END));
    EXPECT_EQ(os_file_tell(stream), size);
    EXPECT_TRUE(os_file_seek(stream, size - 1, SEEK_SET));
    EXPECT_EQ(os_file_tell(stream), size - 1);
    EXPECT_EQ(std::fgetc(stream), 0);
    EXPECT_FALSE(os_file_seek(stream, -1, SEEK_SET));
    std::fclose(stream);
    unlink(path.c_str());
}
