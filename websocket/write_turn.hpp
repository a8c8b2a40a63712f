#pragma once
// The send queues that became busy during one turn of the event loop. A queue that was idle
// writes its first frame from a task behind the turn's handlers (send_queue.hpp); instead of one
// task per queue, the first queue of a turn posts one task, which starts them all in the order they
// became busy, so that a notification to a thousand connections costs one task, not a thousand.
// A queue that becomes busy while that task runs (a write's callback sends on another connection)
// goes into the next turn's task.
//
// A start that throws (a frame's callback did) leaves the turn as it should be: the queues not
// started yet are started by the next task, and later queues still post one.
//
// Threads: the event loop's one thread only. Each entry keeps its queue's owner (the connection)
// alive until its writing has started; clear() lets go of them, for a server that ends before its
// event loop has run the task.

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <memory>
#include <utility>
#include <vector>

namespace KorvaWeb {

class WriteTurn : public std::enable_shared_from_this<WriteTurn> {
public:
  using Start = void (*)(void* queue, const std::shared_ptr<void>& owner);

  explicit WriteTurn(boost::asio::io_context::executor_type executor) : executor_(std::move(executor)) {}

  // start(queue, owner) is called from the turn's task.
  void add(Start start, void* queue, std::shared_ptr<void> owner) {
    pending_.push_back({start, queue, std::move(owner)});
    post();
  }

  // Lets go of the entries not started yet (their connections may end here).
  void clear() noexcept { std::vector<Entry>().swap(pending_); }

private:
  struct Entry {
    Start start;
    void* queue;
    std::shared_ptr<void> owner;
  };

  void post() {
    if (posted_)
      return;
    posted_ = true;
    boost::asio::post(executor_, [turn = shared_from_this()] { turn->run(); });
  }

  void run() {
    posted_ = false;
    running_.swap(pending_);
    // Should a start throw, the entries after it go back in front of those added meanwhile.
    struct Finish {
      WriteTurn& turn;
      std::size_t started = 0;
      ~Finish() {
        auto& running = turn.running_;
        if (started < running.size()) {
          turn.pending_.insert(turn.pending_.begin(), std::make_move_iterator(running.begin() + started),
                               std::make_move_iterator(running.end()));
          turn.post();
        }
        running.clear(); // its room stays for the next turn
      }
    } finish{*this};
    while (finish.started < running_.size()) {
      const Entry& entry = running_[finish.started++];
      entry.start(entry.queue, entry.owner);
    }
  }

  boost::asio::io_context::executor_type executor_;
  std::vector<Entry> pending_;
  std::vector<Entry> running_;
  bool posted_ = false; // a task is posted and has not begun
};

} // namespace KorvaWeb
