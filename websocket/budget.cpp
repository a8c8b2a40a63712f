#include "websocket/budget.hpp"

#include "websocket/read_buffer.hpp"

#include <algorithm>
#include <vector>

namespace KorvaWeb {

namespace {
// After this many connections were open at once, half of them gone sends the freed memory back.
constexpr std::size_t burst_of_connections = 256;
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

bool Budget::refuse(Account& account, std::size_t most) noexcept {
  if (refusals_.fetch_add(1, std::memory_order_relaxed) >= most) {
    refusals_.fetch_sub(1, std::memory_order_relaxed);
    return false;
  }
  account.refused_ = true;
  return true;
}

void Budget::close(Account& account) noexcept {
  if (account.refused_) {
    account.refused_ = false;
    refusals_.fetch_sub(1, std::memory_order_relaxed);
  }
  if (!account.open_)
    return;
  bool burst_over = false;
  {
    std::lock_guard<std::mutex> lock(accounts_mutex_);
    (account.previous_ ? account.previous_->next_ : first_) = account.next_;
    if (account.next_)
      account.next_->previous_ = account.previous_;
    account.open_ = false;
    const std::size_t open = connections_.fetch_sub(1, std::memory_order_relaxed) - 1;
    if (peak_ >= burst_of_connections && open <= peak_ / 2) {
      burst_over = true;
      peak_ = open;
    }
  }
  remove(account.receiving_);
  account.receiving_ = 0;
  if (burst_over)
    return_freed_memory();
}

bool Budget::set_receiving(Account& account, std::size_t bytes) {
  if (bytes == account.receiving_)
    return true;
  if (bytes > account.receiving_ && !room_for(account, bytes - account.receiving_))
    return false;
  add(bytes);
  remove(account.receiving_);
  account.receiving_ = bytes;
  return true;
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
}

bool Budget::make_room(Account& who, std::size_t growth) {
  while (limit_ != 0 && held() + growth > limit_) {
    std::shared_ptr<Account> biggest; // let go of after the lock: that may end the connection
    {
      std::lock_guard<std::mutex> lock(accounts_mutex_);
      std::vector<const Account*> ending; // their last holder let go of them on another thread
      while (!biggest) {
        Account* most = nullptr;
        for (Account* account = first_; account; account = account->next_)
          if (account->held() > 0 && (!most || account->held() > most->held()) &&
              std::find(ending.begin(), ending.end(), account) == ending.end())
            most = account;
        if (!most)
          break;
        biggest = most->share();
        ending.push_back(most);
      }
    }
    // Holding the most, or nobody else holding anything, the one that wants to grow is cut.
    if (!biggest || biggest.get() == &who || biggest->held() < who.held()) {
      who.cut_for_budget();
      return false;
    }
    biggest->cut_for_budget();
  }
  return true;
}

} // namespace KorvaWeb
