#include "websocket/budget.hpp"

#include "websocket/read_buffer.hpp"

#include <algorithm>
#include <vector>

namespace KorvaWeb {

namespace {
// After this many connections were open at once, half of them gone sends the freed memory back.
constexpr std::size_t burst_of_connections = 256;
// After the total held has been this high, half of it gone sends the freed memory back.
constexpr std::size_t memory_return_threshold = 256 * 1024;
// After a flood of at least this much, a few seconds under the low mark send it back once more.
constexpr std::size_t flood_mark = 4 * 1024 * 1024;
constexpr std::size_t low_mark = 1024 * 1024;
} // namespace

void Budget::open(Account& account) {
  std::lock_guard<std::mutex> lock(accounts_mutex_);
  account.next_ = first_;
  if (first_)
    first_->previous_ = &account;
  first_ = &account;
  account.open_ = true;
  const std::size_t open = connections_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (open > peak_)
    peak_ = open;
}

void Budget::evict(Account& account) noexcept {
  if (!account.open_ || account.evicted_)
    return;
  account.evicted_ = true;
  connections_.fetch_sub(1, std::memory_order_relaxed);
  evicted_.fetch_add(1, std::memory_order_relaxed);
}

void Budget::close(Account& account) noexcept {
  if (!account.open_)
    return;
  bool burst_over = false;
  {
    std::lock_guard<std::mutex> lock(accounts_mutex_);
    (account.previous_ ? account.previous_->next_ : first_) = account.next_;
    if (account.next_)
      account.next_->previous_ = account.previous_;
    account.open_ = false;
    std::size_t open = connections();
    if (account.evicted_) {
      account.evicted_ = false;
      evicted_.fetch_sub(1, std::memory_order_relaxed);
    } else {
      open = connections_.fetch_sub(1, std::memory_order_relaxed) - 1;
    }
    if (peak_ >= burst_of_connections && open <= peak_ / 2) {
      burst_over = true;
      peak_ = open;
    }
  }
  remove(account.receiving_ + account.sent_);
  account.receiving_ = account.sent_ = 0;
  if (burst_over)
    return_memory();
}

bool Budget::set_receiving(Account& account, std::size_t bytes) {
  if (bytes > account.receiving_ && !room_for(account, bytes - account.receiving_))
    return false;
  replace(account.receiving_, bytes);
  return true;
}

// One of an account's counts becomes `bytes`.
void Budget::replace(std::size_t& count, std::size_t bytes) noexcept {
  if (bytes == count)
    return;
  const bool fell = bytes < count;
  add(bytes);
  remove(count);
  count = bytes;
  if (fell)
    after_removal();
}

bool Budget::add_queued(Account& account, std::size_t cost, std::size_t payload, const std::size_t& holders) {
  if (!room_for(account, cost))
    return false;
  // Making room may have cut the payload's other holders: their count is read only now.
  const std::size_t counted = cost + (holders == 0 ? payload : 0);
  if (counted != cost && !room_for(account, counted))
    return false;
  add(counted);
  queued_total_.fetch_add(counted, std::memory_order_relaxed);
  account.queued_ += cost + payload;
  return true;
}

void Budget::remove_queued(Account& account, std::size_t cost, std::size_t payload, bool last_holder) noexcept {
  const std::size_t counted = cost + (last_holder ? payload : 0);
  remove(counted);
  queued_total_.fetch_sub(counted, std::memory_order_relaxed);
  account.queued_ -= cost + payload;
  after_removal();
}

bool Budget::add_sent(Account& account, std::size_t bytes) {
  if (!room_for(account, bytes))
    return false;
  add(bytes);
  account.sent_ += bytes;
  return true;
}

void Budget::set_sent(Account& account, std::size_t bytes) noexcept { replace(account.sent_, bytes); }

void Budget::after_removal() noexcept {
  if (!quiet_pending_ && quiet_ && flood_peak_ >= flood_mark && held() < low_mark) {
    quiet_pending_ = true;
    quiet_();
  }
  if (peak_held_ < memory_return_threshold || held() > peak_held_ / 2)
    return;
  peak_held_ = held();
  return_memory();
}

void Budget::return_if_quiet() noexcept {
  quiet_pending_ = false;
  if (held() >= low_mark)
    return; // a new flood: its own fall waits again
  flood_peak_ = held();
  return_memory();
}

void Budget::return_memory() noexcept {
  memory_returns_.fetch_add(1, std::memory_order_relaxed);
  return_freed_memory();
}

// The connections are ranked once for the whole room to be made (ranking reads every queue),
// then cut in that order until the growth fits; only when they are all cut and it does not yet
// fit are they ranked again.
bool Budget::make_room(Account& who, std::size_t growth) {
  std::vector<std::shared_ptr<Account>> ranked; // let go of after the cuts, not under the lock
  std::size_t next = 0;
  while (limit_ != 0 && held() + growth > limit_) {
    if (next == ranked.size()) {
      ranked = rank_for(who);
      next = 0;
      if (held() + growth <= limit_)
        break; // the kernel had sent more than was counted
      if (ranked.empty()) {
        who.cut_for_budget();
        return false;
      }
    }
    ranked[next++]->cut_for_budget();
  }
  return true;
}

// Holdings are read under the lock, which a connection ending on another thread waits for before
// anything of it goes; those taken hold of are let go of after the lock, since that may end them.
std::vector<std::shared_ptr<Budget::Account>> Budget::rank_for(const Account& who) {
  struct Candidate {
    Account* account;
    Account::Holdings holdings;
    double completion; // seconds; negative: receives nothing (a queue)
  };
  std::vector<Candidate> stalled, others;
  std::vector<std::shared_ptr<Account>> ranked;
  std::lock_guard<std::mutex> lock(accounts_mutex_);
  // What the kernel holds of sent bytes is counted as what was written into the sockets, which
  // clients that read have taken since: it is asked for first.
  for (Account* account = first_; account; account = account->next_)
    if (account->sent_ != 0)
      account->measure_sent();
  const std::size_t fair_share = held() / std::max<std::size_t>(connections() + evicted(), 1);
  const std::size_t own = who.holdings().alone;
  for (Account* account = first_; account; account = account->next_) {
    if (account == &who || account->held() == 0)
      continue;
    const Account::Holdings its = account->holdings();
    const std::optional<double> completion = account->receiving_ != 0 ? account->completion_time() : std::nullopt;
    if (completion && *completion > stalled_after_)
      stalled.push_back({account, its, *completion});
    else if (its.share >= fair_share && its.alone > own)
      others.push_back({account, its, completion.value_or(-1)});
  }
  std::sort(stalled.begin(), stalled.end(), [](const Candidate& a, const Candidate& b) {
    return a.completion != b.completion ? a.completion > b.completion : a.holdings.alone > b.holdings.alone;
  });
  std::sort(others.begin(), others.end(), [](const Candidate& a, const Candidate& b) {
    const bool a_queue = a.completion < 0, b_queue = b.completion < 0;
    if (a_queue != b_queue)
      return a_queue;
    if (!a_queue && a.completion != b.completion)
      return a.completion > b.completion;
    return a.holdings.alone != b.holdings.alone ? a.holdings.alone > b.holdings.alone : a.holdings.share > b.holdings.share;
  });
  for (const auto* list : {&stalled, &others})
    for (const Candidate& candidate : *list)
      if (std::shared_ptr<Account> alive = candidate.account->share()) // none: ending on another thread
        ranked.push_back(std::move(alive));
  return ranked;
}

} // namespace KorvaWeb
