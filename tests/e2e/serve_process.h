// `z40k serve` as a process of its own for the live view's tests: started on an ephemeral port of
// 127.0.0.1, ended with Ctrl-C. Z40K_SERVE_BINARY names another build of the program to run the same
// tests against (an older one, to see which of them it fails).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// Whether this build runs under AddressSanitizer or ThreadSanitizer (GCC says so by a macro, Clang by
// a feature test): the server is several times slower there, and its allocator keeps freed memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif
#else
constexpr bool SANITIZED = false;
#endif

class ServeProcess {
  public:
    ~ServeProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Starts `z40k serve --port 0 Args...` and reads the port it prints; false when it prints none.
    bool Start(const std::vector<std::string>& Args) {
        const char* other = std::getenv("Z40K_SERVE_BINARY");
        const std::string binary = other != nullptr && *other != '\0' ? other : Z40K_BINARY;
        int out[2];
        if (::pipe(out) != 0)
            return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<std::string> all = {binary, "serve", "--port", "0"};
            all.insert(all.end(), Args.begin(), Args.end());
            std::vector<char*> argv;
            for (std::string& a : all)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(binary.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        const size_t colon = line.rfind(':');
        port_ = colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
        return port_ > 0;
    }

    int Port() const { return port_; }

    // Sends Ctrl-C and waits up to Limit for the program to end. Its exit status, or -1 when it was still
    // running (it is killed then); *Took is how long it took.
    int Interrupt(std::chrono::milliseconds Limit, std::chrono::milliseconds* Took = nullptr) {
        const auto start = std::chrono::steady_clock::now();
        ::kill(pid_, SIGINT);
        int status = 0;
        pid_t done = 0;
        while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() - start < Limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (Took != nullptr)
            *Took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                          start);
        if (done != pid_)
            return -1; // the destructor kills it
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // The program's resident memory, in KiB.
    long RssKib() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.compare(0, 6, "VmRSS:") == 0)
                return std::atol(line.c_str() + 6);
        }
        return 0;
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace e2e
