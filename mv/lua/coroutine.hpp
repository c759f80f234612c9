#pragma once

#include <functional>
#include <memory>

#include "mv/lua/lua.hpp"
#include "mv/lua/registry_ref.hpp"
#include "mv/util/callback_wrapper.hpp"

namespace mv::lua {

// A native owner of a Lua thread that native asynchronous operations suspend and resume.
//
// The owner constructs it with a function, pushes the arguments onto thread() and calls resume(n). The
// thread then runs until it finishes (on_coroutine_finish, results on the thread's stack), fails
// (on_coroutine_error, error object on top of the thread's stack) or suspends in a native operation
// (on_coroutine_yield). A native asynchronous function follows this pattern:
//
//   int l_op(lua_State *L) {
//     coroutine_t *co = coroutine_t::running(L);       // "No coroutine is running" outside a coroutine
//     guarded(L, [&] {
//       start_op(co->wrap([co](result_t r) {             // ignored once co is destroyed
//         push r onto co->thread();                      // an exception as exception userdata
//         co->resume(1);
//       }));
//       return 0;
//     });
//     return coroutine_t::yield(L, op_k);                 // op_k(L, status, context) returns the results
//   }
//
// The continuation runs on L (which may be a coroutine of the hook's own, see "coroutine.make") and finds
// the values pushed by the completion on top of its stack.
//
// The object may be destroyed at any time, also by code its own thread calls or inside its own
// on_coroutine_* operation: wrapped completions then do nothing, a resume in progress no longer touches
// the object, and native functions of a thread still running see no running coroutine. Every coroutine
// must be destroyed before its Lua state is closed.
class coroutine_t : public mv::util::callback_wrapper_t {
public:
  // Moves the function at `index` of L (removing it from L) onto a new thread of L's state. The thread
  // keeps a reference to the coroutine environment current now. The thread is not started.
  coroutine_t(lua_State *L, int index);
  ~coroutine_t() override;

  lua_State *thread() const noexcept { return thread_; }
  lua_State *main_state() const noexcept { return main_; }

  // Resumes the thread with the top n values of its stack as arguments (the first resume calls the
  // function with them). While it runs, this object is the running coroutine and its environment is
  // "mv.lua.coroutine_environment"; both are restored afterwards, so resumes may nest. `from` is the
  // thread whose native function resumes this one, if any (it bounds the C stack depth). Values for a
  // coroutine that is not waiting for a resume (it runs, finished or failed) are dropped. Throws what the
  // on_coroutine_* operations throw.
  void resume(int n, lua_State *from = nullptr);

  // A native function's last act: `return coroutine_t::yield(L, k);`. Yields the runtime's tag; when the
  // thread is resumed, `continuation` runs with the resume values on top of L's stack and `context`.
  // Never returns to its caller: nothing with a destructor may be alive in the calling frame.
  static int yield(lua_State *L, lua_KFunction continuation, lua_KContext context = 0);

  // The coroutine being resumed; raises the Lua error "No coroutine is running" when there is none, and
  // the interpreter's yield error when L cannot yield (inside a metamethod called from C, for instance),
  // so that no operation starts whose yield would fail.
  static coroutine_t *running(lua_State *L);
  // The coroutine being resumed, or null.
  static coroutine_t *find_running(lua_State *L) noexcept;

  // Whether the thread waits for a resume: not started yet, or suspended in a native operation.
  bool waiting() const noexcept { return status_ == status_t::fresh || status_ == status_t::suspended; }
  // Pushes this coroutine's environment table onto L.
  void push_environment(lua_State *L) const { environment_ref_.push(L); }
  // What ends the native operation the thread is suspended in, run if this object is destroyed first
  // (a session abandoned while its hook sleeps lets go of its timer at once). Replaces the previous one.
  void set_pending_cancel(std::function<void()> cancel) { pending_cancel_ = std::move(cancel); }
  // Becomes true when this object is destroyed (for code that must not touch it afterwards).
  std::shared_ptr<const bool> destroyed_flag() const noexcept { return destroyed_; }

protected:
  virtual void on_coroutine_finish() = 0;
  virtual void on_coroutine_error() = 0;
  virtual void on_coroutine_yield() = 0;
  virtual void on_coroutine_resume() {}

private:
  enum class status_t { fresh, suspended, running, finished, failed };

  void run(int n, lua_State *from);
  void dispatch(int status);

  std::shared_ptr<bool> destroyed_;
  lua_State *thread_ = nullptr;
  registry_ref_t thread_ref_;
  registry_ref_t environment_ref_;
  lua_State *main_;
  std::function<void()> pending_cancel_;
  status_t status_ = status_t::fresh;
};

} // namespace mv::lua
