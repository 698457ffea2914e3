// The POSIX platform files against a pseudo-terminal and real files; never a real serial port.
#include "line/os.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
// The environment names no port unless a case says so.
struct PtyPort : ::testing::Test {
    int         master_fd = -1;
    int         slave_fd  = -1;
    std::string slave;

    void SetUp() override
    {
        unsetenv("ISP2313_PORT1");
        unsetenv("ISP2313_PORT2");
        mkdir(test_dir.c_str(), 0700);
        master_fd = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_fd, 0);
        ASSERT_EQ(grantpt(master_fd), 0);
        ASSERT_EQ(unlockpt(master_fd), 0);
        slave = ptsname(master_fd);
        slave_fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave_fd, 0);
        point_port("port1", slave);
    }

    void TearDown() override
    {
        unsetenv("ISP2313_PORT1");
        unsetenv("ISP2313_PORT2");
        close(slave_fd);
        close(master_fd);
        remove_test_dir();
    }
};

// An open that fails with REASON and says why in the words WHY.
static void expect_open_fails(int port_number, os_reason reason, const std::string& why)
{
    EXPECT_EQ(os_port_open(port_number), os_no_handle) << "port " << port_number;
    EXPECT_EQ(os_failure_reason(), reason) << os_failure();
    EXPECT_EQ(os_failure(), why);
}

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
    expect_open_fails(1, os_reason_busy, "flock: Resource temporarily unavailable");
    os_port_close(first);

    os_handle again = os_port_open(1);
    EXPECT_NE(again, os_no_handle);
    os_port_close(again);
}

TEST_F(PtyPort, MissingNonTerminalAndUnknownPortsFailWithTheirReason)
{
    point_port("port2", in_test_dir("nothing-here"));
    expect_open_fails(2, os_reason_missing, "open: No such file or directory");

    write_file(in_test_dir("plain"), "not a terminal");
    point_port("port2", in_test_dir("plain"));
    expect_open_fails(2, os_reason_other, "isatty: not a terminal, so not a serial port");

    EXPECT_EQ(os_port_name(0), nullptr);
    expect_open_fails(3, os_reason_missing, "open: No such device");
}

TEST_F(PtyPort, EnvironmentNamesTheDeviceAndEmptyMeansTheBuildDefault)
{
    point_port("port1", in_test_dir("nothing-here"));
    point_port("adapter", slave);
    setenv("ISP2313_PORT1", in_test_dir("adapter").c_str(), 1);
    EXPECT_EQ(os_port_name(1), in_test_dir("adapter"));
    EXPECT_EQ(os_port_name(2), in_test_dir("port2"));
    os_handle port = os_port_open(1);
    EXPECT_NE(port, os_no_handle) << os_failure();
    if (port != os_no_handle)
        os_port_close(port);

    setenv("ISP2313_PORT1", "", 1);
    EXPECT_EQ(os_port_name(1), in_test_dir("port1"));
    expect_open_fails(1, os_reason_missing, "open: No such file or directory");
}

// Tests run as root, whom no permission stops: a child that has become nobody tries the
// port, which belongs to group dialout as a USB adapter's device does.
TEST_F(PtyPort, PortThisUserMayNotOpenIsDeniedAndNamesItsGroup)
{
    const group* dialout = getgrnam("dialout");
    if (geteuid() != 0 || dialout == nullptr)
        GTEST_SKIP() << "needs root and a group dialout";
    ASSERT_EQ(chown(slave.c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(slave.c_str(), 0660), 0);
    setenv("ISP2313_PORT1", slave.c_str(), 1);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        os_handle port = os_port_open(1);
        std::string seen = std::to_string(port != os_no_handle) + " " + std::to_string(os_failure_reason()) + " "
                         + os_failure() + " " + os_device_group(slave.c_str());
        _exit(write(report[1], seen.data(), seen.size()) == static_cast<ssize_t>(seen.size()) ? 0 : 1);
    }
    close(report[1]);
    char seen[256] = {};
    ssize_t got = read(report[0], seen, sizeof seen - 1);
    close(report[0]);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_GT(got, 0);
    EXPECT_EQ(std::string(seen), "0 " + std::to_string(os_reason_denied) + " open: Permission denied dialout");
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
