#include "app/message_poster.h"

MessagePoster& PlatformMessagePoster() {
  static PostedMessageQueue queue;
  return queue;
}
