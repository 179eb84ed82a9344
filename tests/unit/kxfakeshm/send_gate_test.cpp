// The send gate over real NNG pair0 sockets (inproc): waiting senders go out in
// the order they came, a send that may not wait never queues, a timed wait ends,
// and Shut ends every wait.

#include <gtest/gtest.h>
#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "kxfakeshm/SendGate.h"

namespace {

using KXFakeShm::SendGate;

nng_msg* Message(const std::string& text) {
    nng_msg* msg = nullptr;
    EXPECT_EQ(nng_msg_alloc(&msg, 0), 0);
    EXPECT_EQ(nng_msg_append(msg, text.data(), text.size()), 0);
    return msg;
}

// A listening pair0 socket with no peer yet: every non-blocking send finds no room.
class SendGateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static std::atomic<int> next{0};
        url_ = "inproc://send-gate-" + std::to_string(next++);
        ASSERT_EQ(nng_pair0_open(&sender_), 0);
        ASSERT_EQ(nng_listen(sender_, url_.c_str(), nullptr, 0), 0);
        gate_.Open(sender_);
    }

    void TearDown() override {
        gate_.Shut();
        nng_close(sender_);
        if (receiverOpen_) {
            nng_close(receiver_);
        }
    }

    void ConnectReceiver() {
        ASSERT_EQ(nng_pair0_open(&receiver_), 0);
        receiverOpen_ = true;
        ASSERT_EQ(nng_socket_set_ms(receiver_, NNG_OPT_RECVTIMEO, 10000), 0);
        ASSERT_EQ(nng_dial(receiver_, url_.c_str(), nullptr, 0), 0);
    }

    std::string Receive() {
        nng_msg* msg = nullptr;
        if (nng_recvmsg(receiver_, &msg, 0) != 0) {
            return "(nothing)";
        }
        std::string text(static_cast<const char*>(nng_msg_body(msg)), nng_msg_len(msg));
        nng_msg_free(msg);
        return text;
    }

    // Sends `text` without a time limit on a thread of its own and returns once the
    // gate counts it among its waiters.
    void SendWaiting(const std::string& text) {
        const size_t before = gate_.Waiting();
        sends_.push_back(std::async(std::launch::async, [this, msg = Message(text)] {
            const int rc = gate_.Send(msg, -1);
            if (rc != 0) {
                nng_msg_free(msg);
            }
            return rc;
        }));
        EXPECT_TRUE(kxtest::WaitFor([&] { return gate_.Waiting() == before + 1; })) << text;
    }

    // The result of the i-th waiting send; -1 if it has not ended within 10 s (a
    // send that never ends fails the test instead of hanging it: TearDown's Shut
    // ends it before the futures are destroyed).
    int Result(size_t i) {
        if (sends_[i].wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            return -1;
        }
        return sends_[i].get();
    }

    std::string url_;
    nng_socket sender_ = NNG_SOCKET_INITIALIZER;
    nng_socket receiver_ = NNG_SOCKET_INITIALIZER;
    bool receiverOpen_ = false;
    SendGate gate_;
    std::vector<std::future<int>> sends_;  // joined first, once TearDown's Shut ended them
};

TEST_F(SendGateTest, WaitingSendersGoOutInTheOrderTheyCameAndOneThatMayNotWaitNeverQueues) {
    for (const char* text : {"A", "B", "C", "D"}) {
        SendWaiting(text);
    }
    // A heartbeat that may not wait gets its answer at once, not a place in line.
    nng_msg* heartbeat = Message("heartbeat");
    EXPECT_EQ(gate_.Send(heartbeat, 0), NNG_EAGAIN);
    nng_msg_free(heartbeat);
    EXPECT_EQ(gate_.Waiting(), 4u);

    ConnectReceiver();
    for (const char* text : {"A", "B", "C", "D"}) {
        EXPECT_EQ(Receive(), text);
    }
    for (size_t i = 0; i < sends_.size(); ++i) {
        EXPECT_EQ(Result(i), 0) << i;
    }
    EXPECT_EQ(gate_.Waiting(), 0u);
}

TEST_F(SendGateTest, ATimedWaitEndsWithTheMessageStillTheCallersAndShutEndsEveryWait) {
    nng_msg* late = Message("late");
    EXPECT_EQ(gate_.Send(late, 30), NNG_ETIMEDOUT);
    EXPECT_EQ(gate_.Waiting(), 0u);
    // Still ours: a message NNG had taken would be freed twice here under ASan.
    EXPECT_EQ(nng_msg_len(late), 4u);
    nng_msg_free(late);

    SendWaiting("first");
    SendWaiting("second");
    gate_.Shut();
    EXPECT_EQ(Result(0), NNG_ECLOSED);
    EXPECT_EQ(Result(1), NNG_ECLOSED);
    nng_msg* after = Message("after");
    EXPECT_EQ(gate_.Send(after, -1), NNG_ECLOSED);
    EXPECT_EQ(gate_.Send(after, 0), NNG_ECLOSED);
    nng_msg_free(after);

    // Opened again on the same socket, it lets sends through as before.
    gate_.Open(sender_);
    ConnectReceiver();
    EXPECT_EQ(gate_.Send(Message("again"), 5000), 0);
    EXPECT_EQ(Receive(), "again");
}

}  // namespace
