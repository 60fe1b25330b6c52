#include "play_clock.h"

int64_t PlayClock::due(int64_t card, int speed, int64_t now) {
  if (speed <= 0) speed = 10;
  std::lock_guard<std::mutex> held(lock);
  if (!isAnchored) {
    isAnchored = true;
    anchorCard = card;
    anchorWall = now;
    anchorSpeed = speed;
    setAt = now;
  } else if (speed != anchorSpeed) {
    // The moment reached at the old speed stays where it is.
    anchorCard += (now - anchorWall) * anchorSpeed / 10;
    anchorWall = now;
    anchorSpeed = speed;
  }
  return anchorWall + (card - anchorCard) * 10 / anchorSpeed;
}

void PlayClock::join(int64_t card, int speed, int64_t now, int64_t since) {
  std::lock_guard<std::mutex> held(lock);
  if (isAnchored && setAt >= since) return;
  isAnchored = true;
  anchorCard = card;
  anchorWall = now;
  anchorSpeed = speed > 0 ? speed : 10;
  setAt = now;
}

bool PlayClock::anchored() {
  std::lock_guard<std::mutex> held(lock);
  return isAnchored;
}

bool PlayClock::rebase(int64_t card, int speed, int64_t now, int64_t minAgeMs) {
  std::lock_guard<std::mutex> held(lock);
  if (isAnchored && now - setAt < minAgeMs) return false;
  anchorSpeed = speed > 0 ? speed : 10;
  isAnchored = true;
  anchorCard = card;
  anchorWall = now;
  setAt = now;
  return true;
}

void PlayClock::release() {
  std::lock_guard<std::mutex> held(lock);
  isAnchored = false;
}

PlayClock &qmx_playClock() {
  static PlayClock clock;
  return clock;
}
