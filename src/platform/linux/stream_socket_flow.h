#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/linux/event_loop.h"
#include "platform/stream_flow.h"

namespace sieveharbor::platform::linux_host {

// One accepted TCP connection as a stream flow, served by one event loop. The socket is watched
// edge-triggered: it is read and written until the kernel would block, and the loop says when
// more can be done, so a read or a write that can go at once costs one system call and no epoll
// change.
//
// Threads: every method may be called from any thread; its work runs on the loop, at once when
// called there. Completions run on the loop: the open's and a refused read's or write's posted,
// a read's when bytes or the end arrive, a write's once all its bytes are in the kernel's
// buffers (inside writeData when they fit at once). The loop holds the flow while its socket is
// open; once read and write are both closed the socket is closed. A loop that ends first
// abandons the flow: its pending completions are dropped uncalled.
class StreamSocketFlow final : public StreamFlow,
                               public Watcher,
                               public std::enable_shared_from_this<StreamSocketFlow> {
  public:
    // Takes fd, a connected, non-blocking TCP socket; on the loop's thread only. Null (and fd
    // closed) when the loop cannot watch it.
    static std::shared_ptr<StreamSocketFlow> adopt(EventLoop& loop, int fd);

    StreamSocketFlow(EventLoop& loop, int fd) : loop_(loop), fd_(fd) {}
    ~StreamSocketFlow() override;

    StreamSocketFlow(const StreamSocketFlow&) = delete;
    StreamSocketFlow& operator=(const StreamSocketFlow&) = delete;

    void openWithLocalEndpoint(OpenCompletion completion) override;
    void readDataWithCompletionHandler(ReadCompletion completion) override;
    void writeData(std::vector<std::uint8_t> data, WriteCompletion completion) override;
    void closeReadWithError(std::optional<FlowError> error) override;
    void closeWriteWithError(std::optional<FlowError> error) override;

    void onReady(std::uint32_t events) override;
    void abandon() override;

  private:
    struct Write {
        std::vector<std::uint8_t> data;
        std::size_t sent = 0;
        WriteCompletion completion;
    };

    void tryRead();
    void sendQueued();
    void failWrites(FlowError error);
    void closeIfDone();

    EventLoop& loop_;
    int fd_;
    ReadCompletion pendingRead_;
    std::deque<Write> writes_;
    // What the last edge said and no call has since contradicted.
    bool readable_ = true;
    bool writable_ = true;
    // The client has closed its side or reset the connection: the end of the stream, or its
    // error, is still to be read, and no later edge will say so.
    bool peerGone_ = false;
    bool sending_ = false;
    bool readClosed_ = false;
    bool writeClosed_ = false;
    bool closed_ = false;
};

}  // namespace sieveharbor::platform::linux_host
