#pragma once
// The Asio adapter: expect and the wait for a child's end as Asio asynchronous operations, so one
// thread running an io_context can drive thousands of sessions. Link pexpect_custom::asio.
//
// Completion signatures:
//   async_expect, async_expect_exact: void(std::exception_ptr, long index)
//   async_wait_exit:                  void(std::exception_ptr, std::optional<int> exitstatus)
//   async_spawn:                      void(std::exception_ptr, std::unique_ptr<spawn> child)
//   async_ssh_connect:                void(std::exception_ptr, std::unique_ptr<ssh_spawn> session)
// The exception is what the blocking call would have raised (EOF_, TIMEOUT, ...), or a
// std::system_error holding asio::error::operation_aborted after a cancellation; with
// asio::use_future and asio::use_awaitable it is thrown from get() or co_await.
//
// Every step of an operation (its descriptor waits, its deadline, its reads) runs on the I/O
// executor: the executor passed to the call, or, for the forms without one, the completion
// handler's associated executor. Only the completion goes through the handler's associated
// executor, dispatched there from the I/O executor, so asio::use_future, asio::detached and
// asio::bind_executor start no thread (with asio::use_future, whose handler has no I/O executor,
// use the forms that take one). When the io_context runs on several threads, pass a strand as the
// executor.
//
// A session takes one expect at a time and must outlive it: an async_expect or
// async_expect_exact on a session with an expect in progress completes at once with a
// std::system_error holding asio::error::in_progress, and the expect in progress goes on
// untouched. Cancellation (a cancellation slot bound to the handler, any cancellation type) leaves
// the session usable: every byte read meanwhile is back in its `buffer`, and its other fields are
// as they were before the operation. A cancelled connection closes everything it had opened; a
// cancelled async_spawn ends the child it had started.

#ifndef ASIO_STANDALONE
#define ASIO_STANDALONE
#endif

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/bind_executor.hpp>
#include <asio/dispatch.hpp>
#include <asio/error.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "pexpect_custom/expect_base.hpp"
#include "pexpect_custom/pending_expect.hpp"
#include "pexpect_custom/pending_ssh_connect.hpp"
#include "pexpect_custom/spawn.hpp"
#include "pexpect_custom/ssh_spawn.hpp"

namespace pexpect_custom {

namespace asio_detail {

using descriptor = ::asio::posix::stream_descriptor;

inline std::exception_ptr aborted() {
  return std::make_exception_ptr(
      std::system_error(::asio::error::make_error_code(::asio::error::operation_aborted)));
}

inline std::exception_ptr busy() {
  return std::make_exception_ptr(
      std::system_error(::asio::error::make_error_code(::asio::error::in_progress)));
}

inline bool ready_now(int fd, short events) {
  pollfd entry{fd, events, 0};
  return ::poll(&entry, 1, 0) > 0;
}

inline bool readable_now(int fd) {
  return ready_now(fd, POLLIN);
}

// A descriptor the operation waits on but does not own: let go of, never closed, at the end.
class borrowed_descriptor {
 public:
  borrowed_descriptor(const ::asio::any_io_executor& executor, int fd) : descriptor_(executor, fd) {}
  borrowed_descriptor(const borrowed_descriptor&) = delete;
  borrowed_descriptor& operator=(const borrowed_descriptor&) = delete;
  ~borrowed_descriptor() { let_go(); }
  descriptor& get() { return descriptor_; }
  void let_go() noexcept {
    try {
      if (descriptor_.is_open()) descriptor_.release();
    } catch (...) {
    }
  }

 private:
  descriptor descriptor_;
};

// Waits for `fd` to turn readable, one wait at a time: `waiting` stays set until `on_ready`,
// which clears it, has run. A descriptor's readiness is reported once per change, so a wait
// armed after the change would never end: it is cancelled, and so completes at once, when the
// descriptor is readable already.
template <typename Step>
void wait_readable(std::optional<borrowed_descriptor>& watched, bool& waiting,
                   const ::asio::any_io_executor& io, int fd, Step on_ready) {
  if (waiting) return;
  if (!watched) watched.emplace(io, fd);
  waiting = true;
  watched->get().async_wait(descriptor::wait_read, std::move(on_ready));
  if (readable_now(fd)) watched->get().cancel();
}

// What every operation of the adapter shares: the handler, the work it keeps alive on the
// handler's executor, the cancellation slot, and a completion made exactly once. Steps run on
// the I/O executor `io`; the completion is posted there and dispatched to the handler's executor.
template <typename Handler, typename Derived, typename... Results>
class operation : public std::enable_shared_from_this<Derived> {
 public:
  using handler_executor = ::asio::associated_executor_t<Handler, ::asio::any_io_executor>;

  operation(Handler handler, const ::asio::any_io_executor& io)
      : handler_(std::move(handler)),
        io_(io),
        work_(::asio::make_work_guard(::asio::get_associated_executor(handler_, io))),
        timer_(io) {}

 protected:
  // Connects the handler's cancellation slot, if it has one, to Derived::cancel.
  void listen_for_cancellation() {
    auto slot = ::asio::get_associated_cancellation_slot(handler_);
    if (!slot.is_connected()) return;
    std::weak_ptr<Derived> weak = this->shared_from_this();
    slot.template emplace<canceller>(canceller{std::move(weak)});
  }

  // A step for a wait on the I/O executor, keeping this operation alive until it has run.
  template <typename Function>
  auto step(Function function) {
    return [self = this->shared_from_this(), function](auto&&...) mutable { function(*self); };
  }

  // Posts the completion on the I/O executor (never inside the initiating call), and from there
  // dispatches it to the handler's executor; the slot is cleared there, outside any cancellation
  // handler.
  void complete(std::exception_ptr error, Results... results) {
    if (done_) return;
    done_ = true;
    timer_.cancel();
    ::asio::post(io_, [self = this->shared_from_this(), error, ... results = std::move(results)]() mutable {
      auto slot = ::asio::get_associated_cancellation_slot(self->handler_);
      if (slot.is_connected()) slot.clear();
      auto work = std::move(self->work_);
      ::asio::dispatch(work.get_executor(), [handler = std::move(self->handler_), error,
                                             ... results = std::move(results)]() mutable {
        std::move(handler)(error, std::move(results)...);
      });
    });
  }

  bool done() const { return done_; }
  const ::asio::any_io_executor& io() const { return io_; }
  ::asio::steady_timer& timer() { return timer_; }

 private:
  struct canceller {
    std::weak_ptr<Derived> op;
    void operator()(::asio::cancellation_type type) {
      if (type == ::asio::cancellation_type::none) return;
      if (auto alive = op.lock()) alive->cancel();
    }
  };

  Handler handler_;
  ::asio::any_io_executor io_;
  ::asio::executor_work_guard<handler_executor> work_;
  ::asio::steady_timer timer_;
  bool done_ = false;
};

// One expect: a pending_expect stepped whenever the terminal or the child's end notice turns
// readable, or the deadline passes.
template <typename Handler>
class expect_operation : public operation<Handler, expect_operation<Handler>, long> {
  using base = operation<Handler, expect_operation<Handler>, long>;
  // Chunks taken in one turn before other work on the executor gets a chance.
  static constexpr int chunks_per_turn = 16;

 public:
  expect_operation(Handler handler, const ::asio::any_io_executor& io) : base(std::move(handler), io) {}

  // A session with an expect in progress is refused before anything of it is touched.
  void start(expect_base& session, std::shared_ptr<searcher_base> searcher, timeout_arg timeout) {
    if (session.expect_in_progress()) return this->complete(busy(), -1);
    try {
      pending_.emplace(session, std::move(searcher), timeout);
    } catch (...) {
      return this->complete(std::current_exception(), -1);
    }
    this->listen_for_cancellation();
    advance();
  }

  void cancel() {
    if (this->done()) return;
    finish(aborted(), -1);
  }

 private:
  void advance() {
    if (this->done()) return;
    for (int chunks = 0;; ++chunks) {
      std::optional<long> index;
      try {
        index = pending_->step();
      } catch (...) {
        finish(std::current_exception(), -1);
        return;
      }
      if (index) return finish(nullptr, *index);
      if (!pending_->took_bytes()) break;
      if (chunks == chunks_per_turn) {
        ::asio::post(this->io(), this->step([](expect_operation& op) { op.advance(); }));
        return;
      }
    }
    watch();
  }

  // A descriptor's readiness is reported once per change, so each watch is armed only after a
  // step found nothing left to read, and cancelled at once when something arrived meanwhile.
  void watch() {
    const std::vector<int> fds = pending_->watch_fds();
    arm(terminal_, terminal_waiting_, fds[0]);
    // A child that has ended keeps its notice readable: the step has seen it already.
    if (fds.size() > 1 && !readable_now(fds[1])) arm(notice_, notice_waiting_, fds[1]);
    if (!timer_waiting_) {
      if (std::optional<double> left = pending_->seconds_left()) {
        timer_waiting_ = true;
        this->timer().expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(*left)));
        this->timer().async_wait(this->step([](expect_operation& op) {
          op.timer_waiting_ = false;
          op.advance();
        }));
      }
    }
  }

  void arm(std::optional<borrowed_descriptor>& watched, bool& waiting, int fd) {
    wait_readable(watched, waiting, this->io(), fd, this->step([&waiting](expect_operation& op) {
      waiting = false;
      op.advance();
    }));
  }

  void finish(std::exception_ptr error, long index) {
    if (terminal_) terminal_->let_go();
    if (notice_) notice_->let_go();
    pending_.reset();  // an expect that has not ended gives its bytes back to the buffer
    this->complete(error, index);
  }

  std::optional<pending_expect> pending_;
  std::optional<borrowed_descriptor> terminal_;
  std::optional<borrowed_descriptor> notice_;
  bool terminal_waiting_ = false;
  bool notice_waiting_ = false;
  bool timer_waiting_ = false;
};

// The wait for a child's end, on a copy of its end notice. Where the system has no end notice,
// the child is looked at (a waitpid that collects nothing) after naps growing from 1 ms to 250 ms.
template <typename Handler>
class exit_operation : public operation<Handler, exit_operation<Handler>, std::optional<int>> {
  using base = operation<Handler, exit_operation<Handler>, std::optional<int>>;
  // A traced child's end reaches its parent only once the tracer lets go: look again this often.
  static constexpr std::chrono::milliseconds recheck{10};
  static constexpr std::chrono::microseconds first_nap{1000};
  static constexpr std::chrono::microseconds longest_nap{250000};

 public:
  exit_operation(Handler handler, const ::asio::any_io_executor& io, spawn& child)
      : base(std::move(handler), io), child_(child), notice_(io) {}

  void start() {
    this->listen_for_cancellation();
    if (child_.terminated) return this->complete(nullptr, child_.exitstatus);
    // A copy, so that an expect on the same executor can wait on the session's own notice too.
    const int notice = child_.end_notice_fd();
    const int copy = notice >= 0 ? ::fcntl(notice, F_DUPFD_CLOEXEC, 0) : -1;
    if (copy < 0) return look();
    notice_.assign(copy);
    notice_.async_wait(descriptor::wait_read, this->step([](exit_operation& op) { op.check(); }));
  }

  void cancel() {
    if (this->done()) return;
    close_notice();
    this->complete(aborted(), {});
  }

 private:
  void check() {
    if (this->done()) return;
    try {
      if (!child_.isalive()) {
        close_notice();
        return this->complete(nullptr, child_.exitstatus);
      }
    } catch (...) {
      close_notice();
      return this->complete(std::current_exception(), {});
    }
    this->timer().expires_after(recheck);
    this->timer().async_wait(this->step([](exit_operation& op) { op.check(); }));
  }

  // Without a notice: the liveness test, which would block once end of file has been seen, is
  // made only when a look that collects nothing finds the child ended.
  void look() {
    if (this->done()) return;
    siginfo_t info{};
    const int looked = ::waitid(P_PID, static_cast<id_t>(*child_.pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (looked != 0 || info.si_pid != 0) return check();
    this->timer().expires_after(nap_);
    nap_ = std::min(2 * nap_, longest_nap);
    this->timer().async_wait(this->step([](exit_operation& op) { op.look(); }));
  }

  void close_notice() noexcept {
    std::error_code ignored;
    notice_.close(ignored);
  }

  spawn& child_;
  descriptor notice_;
  std::chrono::microseconds nap_ = first_nap;
};

// The start of a child that does not wait for its exec: the exec notice is watched on the I/O
// executor, and the start is confirmed (without a wait, then) once it turns readable.
template <typename Handler>
class spawn_operation : public operation<Handler, spawn_operation<Handler>, std::unique_ptr<spawn>> {
  using base = operation<Handler, spawn_operation<Handler>, std::unique_ptr<spawn>>;

 public:
  spawn_operation(Handler handler, const ::asio::any_io_executor& io) : base(std::move(handler), io) {}

  void start(const std::optional<std::string>& command, const std::vector<std::string>& args,
             spawn_options options) {
    options.wait_for_exec = false;
    try {
      child_ = std::make_unique<spawn>(command, args, std::move(options));
    } catch (...) {
      return this->complete(std::current_exception(), nullptr);
    }
    this->listen_for_cancellation();
    check();
  }

  void cancel() {
    if (this->done()) return;
    finish(aborted());
  }

 private:
  void check() {
    if (this->done()) return;
    const int fd = child_->exec_notice_fd();
    if (fd < 0 || readable_now(fd)) return finish(nullptr);
    if (!notice_) notice_.emplace(this->io(), fd);
    notice_->get().async_wait(descriptor::wait_read, this->step([](spawn_operation& op) { op.check(); }));
    // A readiness that came before the wait was armed is not reported again: look now.
    if (readable_now(fd)) notice_->get().cancel();
  }

  // A failed or cancelled start leaves no child behind: the session that goes collects it.
  void finish(std::exception_ptr error) {
    if (notice_) notice_->let_go();
    if (!error) {
      try {
        child_->confirm_start();
      } catch (...) {
        error = std::current_exception();
      }
    }
    if (error) child_.reset();
    this->complete(error, std::move(child_));
  }

  std::unique_ptr<spawn> child_;
  std::optional<borrowed_descriptor> notice_;
};

// The wait for a remote session's end, on its connection's socket and its keepalive timer: every
// wake-up takes in what arrived (output stays buffered for a later expect) and looks whether the
// end was among it, or whether the server has been silent for too long.
template <typename Handler>
class ssh_exit_operation : public operation<Handler, ssh_exit_operation<Handler>, std::optional<int>> {
  using base = operation<Handler, ssh_exit_operation<Handler>, std::optional<int>>;

 public:
  ssh_exit_operation(Handler handler, const ::asio::any_io_executor& io, ssh_spawn& session)
      : base(std::move(handler), io), session_(session) {}

  void start() {
    this->listen_for_cancellation();
    check();
  }

  void cancel() {
    if (this->done()) return;
    finish(aborted(), {});
  }

 private:
  void check() {
    if (this->done()) return;
    try {
      if (!session_.isalive()) return finish(nullptr, session_.exitstatus);
    } catch (...) {
      return finish(std::current_exception(), {});
    }
    // The socket, and the end notice: another session of a shared connection may have taken
    // this one's end off the socket, or a keepalive found the server gone.
    const std::vector<int> fds = session_.watch_fds();
    if (fds.empty()) return finish(nullptr, session_.exitstatus);
    arm(socket_, socket_waiting_, fds[0]);
    if (fds.size() > 1) arm(notice_, notice_waiting_, fds[1]);
  }

  void arm(std::optional<borrowed_descriptor>& watched, bool& waiting, int fd) {
    wait_readable(watched, waiting, this->io(), fd, this->step([&waiting](ssh_exit_operation& op) {
      waiting = false;
      op.check();
    }));
  }

  void finish(std::exception_ptr error, std::optional<int> exitstatus) {
    if (socket_) socket_->let_go();
    if (notice_) notice_->let_go();
    this->complete(error, exitstatus);
  }

  ssh_spawn& session_;
  std::optional<borrowed_descriptor> socket_;
  std::optional<borrowed_descriptor> notice_;
  bool socket_waiting_ = false;
  bool notice_waiting_ = false;
};

// The opening of a remote session: a pending_ssh_connect stepped whenever its socket turns ready
// or the deadline passes. The socket is watched through a duplicate of its own, so the reactor
// never holds a descriptor number that a failed step has already closed.
template <typename Handler>
class ssh_connect_operation
    : public operation<Handler, ssh_connect_operation<Handler>, std::unique_ptr<ssh_spawn>> {
  using base = operation<Handler, ssh_connect_operation<Handler>, std::unique_ptr<ssh_spawn>>;

 public:
  ssh_connect_operation(Handler handler, const ::asio::any_io_executor& io, const ssh_options& options)
      : base(std::move(handler), io), pending_(std::in_place, options), socket_(io) {}

  void start() {
    this->listen_for_cancellation();
    advance();
  }

  void cancel() {
    if (this->done()) return;
    finish(aborted(), nullptr);
  }

 private:
  void advance() {
    if (this->done()) return;
    try {
      if (pending_->step()) return finish(nullptr, std::make_unique<ssh_spawn>(pending_->take()));
      watch();
    } catch (...) {
      finish(std::current_exception(), nullptr);
    }
  }

  void watch() {
    const std::vector<int> fds = pending_->watch_fds();
    if (!fds.empty()) {
      if (!socket_.is_open()) {
        const int copy = ::fcntl(fds.front(), F_DUPFD_CLOEXEC, 0);
        if (copy < 0) throw std::system_error(errno, std::generic_category());
        socket_.assign(copy);
      }
      arm(descriptor::wait_read, reading_, POLLIN);
      if (pending_->wants_write()) arm(descriptor::wait_write, writing_, POLLOUT);
    }
    if (!timer_waiting_) {
      timer_waiting_ = true;
      this->timer().expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::duration<double>(pending_->seconds_left())));
      this->timer().async_wait(this->step([](ssh_connect_operation& op) {
        op.timer_waiting_ = false;
        op.advance();
      }));
    }
  }

  // As for an expect: readiness that came before the wait was armed is not reported again.
  void arm(descriptor::wait_type type, bool& waiting, short events) {
    if (waiting) return;
    waiting = true;
    socket_.async_wait(type, this->step([&waiting](ssh_connect_operation& op) {
      waiting = false;
      op.advance();
    }));
    if (ready_now(socket_.native_handle(), events)) socket_.cancel();
  }

  void finish(std::exception_ptr error, std::unique_ptr<ssh_spawn> session) {
    std::error_code ignored;
    socket_.close(ignored);
    pending_.reset();  // a failed or cancelled opening closes what it had opened
    this->complete(error, std::move(session));
  }

  std::optional<pending_ssh_connect> pending_;
  descriptor socket_;
  bool reading_ = false;
  bool writing_ = false;
  bool timer_waiting_ = false;
};

// The I/O executor an operation without one given uses: the handler's own.
template <typename Handler>
::asio::any_io_executor executor_of(const Handler& handler) {
  return ::asio::get_associated_executor(handler);
}

// Starts an expect for `searcher` whose waits run on the completion handler's executor.
template <typename CompletionToken>
auto async_expect_on_handler_executor(expect_base& session, std::shared_ptr<searcher_base> searcher,
                                      timeout_arg timeout, CompletionToken& token) {
  return ::asio::async_initiate<CompletionToken, void(std::exception_ptr, long)>(
      [&session, searcher = std::move(searcher), timeout](auto handler) {
        using operation = expect_operation<decltype(handler)>;
        auto io = executor_of(handler);
        std::make_shared<operation>(std::move(handler), io)->start(session, searcher, timeout);
      },
      token);
}

// Starts the opening of a remote session whose waits run on `io`.
template <typename CompletionToken>
auto async_ssh_connect_on(const ::asio::any_io_executor& io, const ssh_options& options,
                          CompletionToken& token) {
  return ::asio::async_initiate<CompletionToken, void(std::exception_ptr, std::unique_ptr<ssh_spawn>)>(
      [io, options](auto handler) {
        using operation = ssh_connect_operation<decltype(handler)>;
        std::make_shared<operation>(std::move(handler), io, options)->start();
      },
      token);
}

}  // namespace asio_detail

/// Waits, without blocking the thread, for a regular expression (or marker) of `patterns` on
/// `session`, exactly as `session.expect(patterns, timeout)` would, and completes with the
/// index. Descriptor waits and the deadline run on `executor`.
template <typename Executor, typename CompletionToken>
auto async_expect(const Executor& executor, expect_base& session, const pattern_list& patterns,
                  timeout_arg timeout, CompletionToken&& token) {
  auto searcher = std::make_shared<searcher_re>(session.compile_pattern_list(patterns));
  return ::asio::async_initiate<CompletionToken, void(std::exception_ptr, long)>(
      [executor, &session, searcher, timeout](auto handler) {
        using operation = asio_detail::expect_operation<decltype(handler)>;
        std::make_shared<operation>(std::move(handler), executor)->start(session, searcher, timeout);
      },
      token);
}

/// The same on the completion handler's associated executor (the coroutine's with
/// asio::use_awaitable; bind a callback to an executor with asio::bind_executor).
template <typename CompletionToken>
auto async_expect(expect_base& session, const pattern_list& patterns, timeout_arg timeout,
                  CompletionToken&& token) {
  return asio_detail::async_expect_on_handler_executor(
      session, std::make_shared<searcher_re>(session.compile_pattern_list(patterns)), timeout, token);
}

/// Plain-text patterns, as `session.expect_exact(patterns, timeout)`, on the handler's executor.
template <typename CompletionToken>
auto async_expect_exact(expect_base& session, const pattern_list& patterns, timeout_arg timeout,
                        CompletionToken&& token) {
  return asio_detail::async_expect_on_handler_executor(session, std::make_shared<searcher_string>(patterns),
                                                       timeout, token);
}

/// Plain-text patterns, as `session.expect_exact(patterns, timeout)`, on `executor`.
template <typename Executor, typename CompletionToken>
auto async_expect_exact(const Executor& executor, expect_base& session, const pattern_list& patterns,
                        timeout_arg timeout, CompletionToken&& token) {
  auto searcher = std::make_shared<searcher_string>(patterns);
  return ::asio::async_initiate<CompletionToken, void(std::exception_ptr, long)>(
      [executor, &session, searcher, timeout](auto handler) {
        using operation = asio_detail::expect_operation<decltype(handler)>;
        std::make_shared<operation>(std::move(handler), executor)->start(session, searcher, timeout);
      },
      token);
}

/// Starts `command` as `spawn(command, args, options)` would, but without waiting for the exec
/// (`options.wait_for_exec` is taken as false), and completes with the started child, or with
/// the error the constructor would have raised (a program that cannot be executed included).
/// The wait for the exec runs on `executor`.
template <typename Executor, typename CompletionToken>
requires(!std::is_convertible_v<Executor&, ::asio::execution_context&>) auto async_spawn(
    const Executor& executor, const std::optional<std::string>& command, const std::vector<std::string>& args,
    spawn_options options, CompletionToken&& token) {
  return ::asio::async_initiate<CompletionToken, void(std::exception_ptr, std::unique_ptr<spawn>)>(
      [io = ::asio::any_io_executor(executor), command, args, options](auto handler) {
        using operation = asio_detail::spawn_operation<decltype(handler)>;
        std::make_shared<operation>(std::move(handler), io)->start(command, args, options);
      },
      token);
}

/// The same on `context`'s executor (an io_context).
template <typename ExecutionContext, typename CompletionToken>
requires std::is_convertible_v<ExecutionContext&, ::asio::execution_context&>
auto async_spawn(ExecutionContext& context, const std::optional<std::string>& command,
                 const std::vector<std::string>& args, spawn_options options, CompletionToken&& token) {
  return async_spawn(context.get_executor(), command, args, std::move(options),
                     std::forward<CompletionToken>(token));
}

/// Waits, without blocking the thread, until `child` has ended, collects its end as `isalive`
/// does, and completes with its exit code (nullopt when a signal ended it). The wait runs on the
/// handler's executor.
template <typename CompletionToken>
auto async_wait_exit(spawn& child, CompletionToken&& token) {
  return ::asio::async_initiate<CompletionToken, void(std::exception_ptr, std::optional<int>)>(
      [&child](auto handler) {
        using operation = asio_detail::exit_operation<decltype(handler)>;
        auto io = asio_detail::executor_of(handler);
        std::make_shared<operation>(std::move(handler), io, child)->start();
      },
      token);
}

/// The same with the wait on `executor`.
template <typename Executor, typename CompletionToken>
auto async_wait_exit(const Executor& executor, spawn& child, CompletionToken&& token) {
  return ::asio::async_initiate<CompletionToken, void(std::exception_ptr, std::optional<int>)>(
      [io = ::asio::any_io_executor(executor), &child](auto handler) {
        using operation = asio_detail::exit_operation<decltype(handler)>;
        std::make_shared<operation>(std::move(handler), io, child)->start();
      },
      token);
}

/// Waits, without blocking the thread, until the remote side of `session` has ended, and
/// completes with its exit code (nullopt when a signal ended it or the server did not say).
/// Output that arrives meanwhile stays for a later expect.
template <typename CompletionToken>
auto async_wait_exit(ssh_spawn& session, CompletionToken&& token) {
  return ::asio::async_initiate<CompletionToken, void(std::exception_ptr, std::optional<int>)>(
      [&session](auto handler) {
        using operation = asio_detail::ssh_exit_operation<decltype(handler)>;
        auto io = asio_detail::executor_of(handler);
        std::make_shared<operation>(std::move(handler), io, session)->start();
      },
      token);
}

/// Opens a remote session without blocking the thread, as `ssh_spawn(options)` would (same
/// failures, same `connect_timeout`), and completes with it. The socket waits and the deadline
/// run on `executor` (an io_context's, or any I/O executor).
template <typename Executor, typename CompletionToken>
requires(!std::is_convertible_v<Executor&, ::asio::execution_context&>) auto async_ssh_connect(
    const Executor& executor, const ssh_options& options, CompletionToken&& token) {
  return asio_detail::async_ssh_connect_on(::asio::any_io_executor(executor), options, token);
}

/// The same on `context`'s executor (an io_context).
template <typename ExecutionContext, typename CompletionToken>
requires std::is_convertible_v<ExecutionContext&, ::asio::execution_context&>
auto async_ssh_connect(ExecutionContext& context, const ssh_options& options, CompletionToken&& token) {
  return asio_detail::async_ssh_connect_on(context.get_executor(), options, token);
}

}  // namespace pexpect_custom
