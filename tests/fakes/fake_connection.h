#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_queue.h"
#include "platform/connection.h"

namespace sieveharbor::fakes {

// A scripted Connection that records what is asked of it. Every handler and completion is posted
// to its lane, as the platform does, so with a FakeQueue the test decides when it runs. The test
// drives it with reportState/completeSend/completeReceive, or sets a Script so it answers by
// itself.
class FakeConnection final : public platform::Connection,
                             public std::enable_shared_from_this<FakeConnection> {
  public:
    struct Reply {
        std::optional<dns::Datagram> content;
        bool isComplete = true;
        std::optional<platform::ConnectionError> error;
    };
    struct Script {
        // Reported, in order, as soon as the connection is started.
        std::vector<platform::ConnectionState> statesOnStart;
        // When set, each send completes with this result by itself.
        std::optional<std::optional<platform::ConnectionError>> sendResult;
        // When set, each receive completes with this by itself.
        std::optional<Reply> reply;
        // Like the platform: cancel completes pending sends and receives with an error. Off, they
        // stay pending, so a test can deliver a late completion after cancel.
        bool completePendingOnCancel = true;
    };

    FakeConnection(platform::Upstream upstream, platform::Transport transport,
                   std::shared_ptr<platform::Queue> lane, Script script)
        : upstream_(std::move(upstream)),
          transport_(transport),
          lane_(std::move(lane)),
          script_(std::move(script)) {}

    // What was asked of it.
    const platform::Upstream& upstream() const { return upstream_; }
    platform::Transport transport() const { return transport_; }
    bool started() const { return started_; }
    bool hasStateHandler() const { return static_cast<bool>(stateHandler_); }
    const std::vector<dns::Datagram>& sent() const { return sent_; }
    std::size_t receiveCalls() const { return receiveCalls_; }
    std::size_t cancelCalls() const { return cancelCalls_; }
    std::size_t pendingReceives() const { return receives_.size(); }

    // Driving it. Each call posts the handler; it runs when the queue runs it.
    void reportState(platform::ConnectionState state) {
        lane_->post([self = shared_from_this(), state] {
            if (self->stateHandler_) {
                auto handler = self->stateHandler_;
                handler(state);
            }
        });
    }
    // Completes the oldest pending send; false when none is pending.
    bool completeSend(std::optional<platform::ConnectionError> error = std::nullopt) {
        if (sends_.empty()) {
            return false;
        }
        auto completion = std::move(sends_.front());
        sends_.pop_front();
        lane_->post([completion = std::move(completion), error] { completion(error); });
        return true;
    }
    // Completes the oldest pending receive; false when none is pending.
    bool completeReceive(Reply reply) {
        if (receives_.empty()) {
            return false;
        }
        auto completion = std::move(receives_.front());
        receives_.pop_front();
        lane_->post([completion = std::move(completion), reply = std::move(reply)] {
            completion(reply.content, reply.isComplete, reply.error);
        });
        return true;
    }

    // Connection
    const std::shared_ptr<platform::Queue>& lane() const noexcept override { return lane_; }
    void setStateUpdateHandler(StateUpdateHandler handler) override {
        stateHandler_ = std::move(handler);
    }
    void start() override {
        started_ = true;
        for (const auto& state : script_.statesOnStart) {
            reportState(state);
        }
    }
    void send(dns::Datagram content, SendCompletion completion) override {
        sent_.push_back(std::move(content));
        sends_.push_back(std::move(completion));
        if (script_.sendResult) {
            completeSend(*script_.sendResult);
        }
    }
    void receive(std::size_t /*minimum*/, std::size_t /*maximum*/,
                 ReceiveCompletion completion) override {
        receiveMessage(std::move(completion));
    }
    void receiveMessage(ReceiveCompletion completion) override {
        ++receiveCalls_;
        receives_.push_back(std::move(completion));
        if (script_.reply) {
            completeReceive(*script_.reply);
        }
    }
    void cancel() override {
        ++cancelCalls_;
        if (cancelCalls_ > 1 || !started_) {
            stateHandler_ = nullptr;
            return;
        }
        if (script_.completePendingOnCancel) {
            const auto aborted = std::make_error_code(std::errc::operation_canceled);
            while (completeSend(aborted)) {
            }
            while (completeReceive({std::nullopt, false, aborted})) {
            }
        }
        // Reports cancelled, then lets the handler go, as the platform does. Held weakly: the
        // lane's tasks must not keep the connection, which holds the lane, once the test lets
        // both go.
        lane_->post([weak = weak_from_this()] {
            const auto self = weak.lock();
            if (self && self->stateHandler_) {
                auto handler = std::move(self->stateHandler_);
                self->stateHandler_ = nullptr;
                handler(platform::ConnectionState::cancelled());
            }
        });
    }

  private:
    platform::Upstream upstream_;
    platform::Transport transport_;
    std::shared_ptr<platform::Queue> lane_;
    Script script_;
    bool started_ = false;
    StateUpdateHandler stateHandler_;
    std::vector<dns::Datagram> sent_;
    std::deque<SendCompletion> sends_;
    std::deque<ReceiveCompletion> receives_;
    std::size_t receiveCalls_ = 0;
    std::size_t cancelCalls_ = 0;
};

// Makes FakeConnections, each with a copy of script on the lane it is given, and keeps every
// one for inspection.
class FakeConnectionFactory final : public platform::ConnectionFactory {
  public:
    FakeConnection::Script script;
    // When set, the script of a connection to each upstream, in place of `script`.
    std::function<FakeConnection::Script(const platform::Upstream& to)> scriptFor;
    // Run as each connection is asked for: a test's way to act at that moment.
    std::function<void()> onMake;

    // An address no test reaches (RFC 5737), as the one upstream of a list.
    static platform::SocketAddress documentationResolver() {
        return *platform::SocketAddress::parse("192.0.2.53", platform::kDnsPort);
    }
    static platform::UpstreamList documentationUpstreams() {
        return {platform::Upstream{documentationResolver()}};
    }

    std::shared_ptr<platform::Connection> makeConnection(
        const platform::Upstream& to, platform::Transport transport,
        std::shared_ptr<platform::Queue> lane) override {
        if (onMake) {
            onMake();
        }
        auto connection = std::make_shared<FakeConnection>(to, transport, std::move(lane),
                                                           scriptFor ? scriptFor(to) : script);
        made_.push_back(connection);
        return connection;
    }

    const std::vector<std::shared_ptr<FakeConnection>>& connections() const { return made_; }

  private:
    std::vector<std::shared_ptr<FakeConnection>> made_;
};

}  // namespace sieveharbor::fakes
