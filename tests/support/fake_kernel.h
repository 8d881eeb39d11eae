// Stands in for the kernel below a module's test build: records every
// request exactly as the module made it and answers as the test scripted.
#ifndef QN_TESTS_SUPPORT_FAKE_KERNEL_H
#define QN_TESTS_SUPPORT_FAKE_KERNEL_H

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qn::test {

// What the seam dispatches to while a FakeKernel exists.
class KernelStandIn {
public:
    virtual int ioctl(int fd, unsigned long number, unsigned long arg) = 0;
    virtual int socket(int domain, int type, int protocol) = 0;

protected:
    // Only one stand-in at a time; the seam goes back to the real calls when
    // it is destroyed.
    KernelStandIn();
    ~KernelStandIn();
    KernelStandIn(const KernelStandIn &) = delete;
    KernelStandIn &operator=(const KernelStandIn &) = delete;
};

// The kernel's answer to one request: fill may change what arg points at
// before the result (and errno, when error is not 0) is returned.
struct KernelAnswer {
    int result = 0;
    int error = 0;
    std::function<void(unsigned long arg)> fill;
};

struct NoDetail {
    NoDetail(int, unsigned long, unsigned long) {}
};

// Detail(fd, number, arg) copies what the module passed, before the answer
// changes it; a Request carries it beside the raw request.
template <typename Detail = NoDetail>
class FakeKernel : public KernelStandIn {
public:
    struct Request : Detail {
        Request(int fd_, unsigned long number_, unsigned long arg_)
            : Detail(fd_, number_, arg_), fd(fd_), number(number_), arg(arg_)
        {
        }
        int fd;
        unsigned long number;
        unsigned long arg;
        std::thread::id thread = std::this_thread::get_id();
    };

    struct SocketCall {
        int domain, type, protocol;
        int fd;  // what was returned
    };

    // The answer to every request that has none of its own number.
    void answer(const KernelAnswer &a) { set(default_answer_, a); }
    void answer(unsigned long number, const KernelAnswer &a)
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        answers_[number] = a;
    }
    // Or a script that answers each request as it comes, from what it holds;
    // it replaces the fixed answers.
    void answer_with(std::function<KernelAnswer(const Request &)> script) { set(script_, script); }
    // Socket creation: fails with error, or gives a new descriptor (fill
    // gets it, before it is returned).
    void answer_sockets(const KernelAnswer &a) { set(socket_answer_, a); }

    // Snapshots, safe while other threads make requests.
    std::vector<Request> requests() const
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        return requests_;
    }
    std::vector<SocketCall> sockets() const
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        return sockets_;
    }
    void forget_requests()
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        requests_.clear();
    }

    int ioctl(int fd, unsigned long number, unsigned long arg) override
    {
        Request request(fd, number, arg);
        const KernelAnswer a = answer_for(request);
        if (a.fill)
            a.fill(arg);
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            requests_.push_back(request);
        }
        // Gives another caller the chance to slip in between two requests.
        std::this_thread::yield();
        if (a.error != 0)
            errno = a.error;
        return a.result;
    }

    int socket(int domain, int type, int protocol) override
    {
        KernelAnswer a;
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            a = socket_answer_;
        }
        // A real descriptor, so that the module can close it as a socket.
        const int fd = a.error != 0 ? -1 : ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            sockets_.push_back({domain, type, protocol, fd});
        }
        if (a.error != 0) {
            errno = a.error;
            return -1;
        }
        if (a.fill)
            a.fill(static_cast<unsigned long>(fd));
        return fd;
    }

private:
    template <typename T>
    void set(T &field, const T &value)
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        field = value;
    }

    KernelAnswer answer_for(const Request &request) const
    {
        std::function<KernelAnswer(const Request &)> script;
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            const auto found = answers_.find(request.number);
            if (!script_)
                return found != answers_.end() ? found->second : default_answer_;
            script = script_;
        }
        // Outside the lock: a script may take its time or look at the fake.
        return script(request);
    }

    mutable std::mutex mutex_;  // never the module's own lock
    std::vector<Request> requests_;
    std::vector<SocketCall> sockets_;
    KernelAnswer default_answer_;
    std::map<unsigned long, KernelAnswer> answers_;
    KernelAnswer socket_answer_;
    std::function<KernelAnswer(const Request &)> script_;
};

}  // namespace qn::test

#endif
