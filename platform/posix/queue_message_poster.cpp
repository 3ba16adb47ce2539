#include "app/message_poster.h"
#include "platform/program_context.h"

MessagePoster& PlatformMessagePoster() {
  static PostedMessageQueue queue;
  return queue;
}
