#pragma once
// A clock the test drives frame by frame, and a look from inside the
// receiver's acknowledgement pause.

#include <gtest/gtest.h>

#include <QTimer>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "app/form1.h"
#include "clocklink/frame.h"
#include "window_rig.h"

namespace testing_support {

// Runs fn from inside the receiver's acknowledgement pause: a frame's row is
// appended right before the pause starts, so the first look at the loop
// that sees the row is made inside it.
inline void InPause(app::TForm1& form, int rows, const std::function<void()>& fn)
{
    bool done = false;
    QTimer poll;
    poll.setInterval(1);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (done || form.Sheet().RowCount() < rows)
            return;
        done = true;
        fn();
    });
    poll.start();
    ASSERT_TRUE(RunEventsUntil([&] { return done; }));
}

// A clock the test drives frame by frame on a pty of its own; the slave is
// left for the window to open.
class HandClock {
public:
    HandClock()
    {
        int slave = -1;
        if (::openpty(&master_, &slave, nullptr, nullptr, nullptr) != 0)
            std::abort();
        path_ = ::ttyname(slave);
        // Raw already: a line nobody opens must not echo what the clock sends.
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::close(slave);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    }
    ~HandClock() { Unplug(); }
    const std::string& Path() const { return path_; }
    // The cable is pulled: the slave hangs up and its node goes.
    void Unplug()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }
    void Send(const std::string& bytes) { ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    static std::string Line(const std::string& text) { return clocklink::MakeFrame(0x6C, 'U', 'P', text); }
    // Acknowledgements of "P"/"U" frames received so far; nothing else.
    int Acks()
    {
        char buffer[256];
        ssize_t n;
        while (master_ >= 0 && (n = ::read(master_, buffer, sizeof buffer)) > 0)
            received_.append(buffer, static_cast<std::size_t>(n));
        const std::string ack = clocklink::WithChecksum(clocklink::AckBody('U', 'P'));
        int count = 0;
        for (std::size_t at = 0; (at = received_.find(ack, at)) != std::string::npos; at += ack.size())
            ++count;
        EXPECT_EQ(received_.size(), ack.size() * static_cast<std::size_t>(count));
        return count;
    }

private:
    int master_ = -1;
    std::string path_, received_;
};

} // namespace testing_support
