#include "platform/remote/handshake.h"

#include <kj/debug.h>

#include <cstring>

namespace zyn::remote {

kj::Promise<void> SendHello(kj::AsyncIoStream& stream, std::string key, std::string machine) {
  KJ_REQUIRE(key.size() < 256, "access key too long");
  auto message = kj::heapArray<kj::byte>(5 + key.size());
  std::memcpy(message.begin(), kHelloMagic, 4);
  message[4] = static_cast<kj::byte>(key.size());
  std::memcpy(message.begin() + 5, key.data(), key.size());
  auto write = stream.write(message.begin(), message.size());
  return write.attach(kj::mv(message)).then([&stream, machine = kj::mv(machine)]() mutable {
    auto answer = kj::heap<kj::byte>(0);
    auto read = stream.tryRead(answer.get(), 1, 1);
    return read.then([answer = kj::mv(answer), machine = kj::mv(machine)](size_t n) {
      if (n == 1 && *answer == kAdmitted) return;
      kj::throwFatalException(KJ_EXCEPTION(FAILED, kRefusedText, machine.c_str()));
    });
  });
}

kj::Promise<std::string> ReadHello(kj::AsyncIoStream& stream) {
  auto head = kj::heapArray<kj::byte>(5);
  auto read = stream.read(head.begin(), 5);
  return read.then([&stream, head = kj::mv(head)]() mutable -> kj::Promise<std::string> {
    KJ_REQUIRE(std::memcmp(head.begin(), kHelloMagic, 4) == 0, "not a zynwatch client");
    size_t size = head[4];
    if (size == 0) return std::string();
    auto key = kj::heapArray<kj::byte>(size);
    auto keyRead = stream.read(key.begin(), size);
    return keyRead.then([key = kj::mv(key)]() {
      return std::string(reinterpret_cast<const char*>(key.begin()), key.size());
    });
  });
}

}  // namespace zyn::remote
