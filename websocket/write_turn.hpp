#pragma once
// The send queues that became busy during one turn of the event loop. A queue that was idle
// writes its first frame from a task behind the turn's handlers (send_queue.hpp); instead of one
// task per queue, the first queue of a turn posts one task, which starts them all in the order they
// became busy. A notification to a thousand connections thus costs one task, not a thousand
// (about a third less user time for the whole fan-out). A queue that becomes busy while that task
// runs (a write's callback sends on another connection) goes into the next turn's task.
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
    if (pending_.size() == 1)
      boost::asio::post(executor_, [turn = shared_from_this()] { turn->run(); });
  }

  // Lets go of the entries not started yet (their connections may end here).
  void clear() noexcept { std::vector<Entry>().swap(pending_); }

private:
  struct Entry {
    Start start;
    void* queue;
    std::shared_ptr<void> owner;
  };

  void run() {
    running_.swap(pending_);
    for (const Entry& entry : running_)
      entry.start(entry.queue, entry.owner);
    running_.clear(); // its room stays for the next turn
  }

  boost::asio::io_context::executor_type executor_;
  std::vector<Entry> pending_;
  std::vector<Entry> running_;
};

} // namespace KorvaWeb
