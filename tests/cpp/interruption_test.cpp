// Blocking opens and reads on a pipe: a signal makes them ask the interruption, which either
// lets them go on waiting (and a late writer is read as usual) or stops them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

class CountingInterruption final : public Interruption {
public:
    explicit CountingInterruption(int stop_at_poll) : stop_at_poll_(stop_at_poll) {}
    std::atomic<int> polls{0};

private:
    bool poll() override { return ++polls == stop_at_poll_; }
    const int stop_at_poll_;
};

// Signals `reader` until the interruption has been asked `polls` times, then, when given bytes,
// writes them into the pipe as a late writer.
void signal_then_write(pthread_t reader, const CountingInterruption& interruption, int polls,
                       const std::string& fifo, const std::string* bytes) {
    while (interruption.polls.load() < polls) {
        pthread_kill(reader, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (bytes == nullptr) return;
    std::ofstream(fifo, std::ios::binary) << *bytes;
}

class BlockingPipe : public ::testing::Test {
protected:
    void SetUp() override {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);  // no SA_RESTART: blocked calls fail with EINTR
        sigaction(SIGUSR1, &action, &previous_);
        ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
    }
    void TearDown() override { sigaction(SIGUSR1, &previous_, nullptr); }

    testing::TempDir dir_;
    std::string fifo_ = (dir_.path() / "pipe.pdb").string();
    struct sigaction previous_ {};
};

TEST_F(BlockingPipe, InterruptionStopsAnOpenWithoutWriter) {
    CountingInterruption interruption(4);
    std::thread signaller(signal_then_write, pthread_self(), std::cref(interruption), 4, fifo_, nullptr);
    const auto result = read_structure_file(fifo_, &interruption);
    signaller.join();
    const auto* failure = std::get_if<ReadFailure>(&result);
    ASSERT_NE(failure, nullptr);
    EXPECT_TRUE(failure->interrupted);
    EXPECT_EQ(interruption.polls.load(), 4);
}

TEST_F(BlockingPipe, SignalsAreRetriedAndALateWriterIsRead) {
    std::ifstream seed(std::string(TARNIX_FUZZ_DIR) + "/seeds/pdb/1ubq_head.pdb", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(seed), std::istreambuf_iterator<char>()};
    CountingInterruption interruption(-1);
    std::thread signaller(signal_then_write, pthread_self(), std::cref(interruption), 3, fifo_, &bytes);
    const auto result = read_structure_file(fifo_, &interruption);
    signaller.join();
    ASSERT_TRUE(std::holds_alternative<core::Structure>(result)) << testing::failure_text(result);
    EXPECT_EQ(testing::describe(std::get<core::Structure>(result)),
              testing::describe(testing::read_ok(dir_, "copy.pdb", bytes)));
}

}  // namespace
}  // namespace tarnix::io
