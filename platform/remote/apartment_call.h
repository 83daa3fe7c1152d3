// Running a piece of work on an apartment from the I/O thread and awaiting its result there.
#pragma once

#include <kj/async.h>
#include <kj/exception.h>

#include <functional>
#include <memory>

#include "platform/remote/apartment.h"

namespace zyn::remote {

// Posts work to the apartment; the promise resolves on the calling (loop) thread with its
// result, or rejects with what it threw. If the promise is dropped first, the result is
// dropped on the apartment.
template <class T>
kj::Promise<T> RunOn(Apartment& apartment, std::function<T()> work) {
  auto paf = kj::newPromiseAndCrossThreadFulfiller<T>();
  auto fulfiller =
      std::make_shared<kj::Own<kj::CrossThreadPromiseFulfiller<T>>>(kj::mv(paf.fulfiller));
  apartment.Post([work = std::move(work), fulfiller]() {
    kj::Maybe<T> value;
    KJ_IF_MAYBE (e, kj::runCatchingExceptions([&]() { value = work(); })) {
      (*fulfiller)->reject(kj::mv(*e));
    } else {
      KJ_IF_MAYBE (v, value) {
        (*fulfiller)->fulfill(kj::mv(*v));
      }
    }
  });
  return kj::mv(paf.promise);
}

}  // namespace zyn::remote
