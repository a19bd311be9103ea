#include "defaultinput.h"

#include <QDeadlineTimer>
#include <QMediaDevices>

#ifdef Q_OS_LINUX
#    include <pulse/pulseaudio.h>
#endif

#include <functional>
#include <memory>

namespace {

// A server that answers at all answers in milliseconds; this only bounds a hung one.
constexpr std::chrono::milliseconds serverTimeout {2000};

} // namespace

#ifdef Q_OS_LINUX

namespace {

/// One question to the sound server: `ask` is called once connected, and the answer's callback
/// sets `done`.
struct Query
{
    std::function<pa_operation *(pa_context *, Query *)> ask;
    bool done = false;
    std::optional<QByteArray> defaultSource;
    bool hasSource = false;
};

void followState(pa_context *context, void *data)
{
    auto *query = static_cast<Query *>(data);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        if (pa_operation *operation = query->ask(context, query))
            pa_operation_unref(operation);
        else
            query->done = true;
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        query->done = true;
        break;
    default:
        break;
    }
}

/// Asks the server; false when it did not answer within `timeout`.
bool ask(Query &query, std::chrono::milliseconds timeout)
{
    // A main loop of our own, turned by hand, so that the wait is bounded by the deadline alone.
    const std::unique_ptr<pa_mainloop, decltype(&pa_mainloop_free)> loop(
        pa_mainloop_new(), pa_mainloop_free);
    if (!loop)
        return false;
    const std::unique_ptr<pa_context, decltype(&pa_context_unref)> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Quorbel"), pa_context_unref);
    if (!context)
        return false;
    pa_context_set_state_callback(context.get(), followState, &query);
    // Asking must never start a sound server as a side effect.
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return false;
    const QDeadlineTimer deadline(timeout);
    while (!query.done && !deadline.hasExpired()) {
        const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline.remainingTimeAsDuration());
        if (pa_mainloop_prepare(loop.get(), int(std::max<qint64>(remaining.count(), 0))) < 0
            || pa_mainloop_poll(loop.get()) < 0 || pa_mainloop_dispatch(loop.get()) < 0)
            break;
    }
    pa_context_set_state_callback(context.get(), nullptr, nullptr);
    pa_context_disconnect(context.get());
    return query.done;
}

} // namespace

std::optional<QByteArray> serverDefaultSource(std::chrono::milliseconds timeout)
{
    Query query;
    query.ask = [](pa_context *context, Query *query) {
        return pa_context_get_server_info(
            context,
            [](pa_context *, const pa_server_info *info, void *data) {
                auto *query = static_cast<Query *>(data);
                if (info && info->default_source_name)
                    query->defaultSource = QByteArray(info->default_source_name);
                query->done = true;
            },
            query);
    };
    return ask(query, timeout) ? query.defaultSource : std::nullopt;
}

bool serverHasSource(const QByteArray &name, std::chrono::milliseconds timeout)
{
    Query query;
    query.ask = [&name](pa_context *context, Query *query) {
        return pa_context_get_source_info_by_name(
            context, name.constData(),
            [](pa_context *, const pa_source_info *info, int last, void *data) {
                auto *query = static_cast<Query *>(data);
                query->hasSource = query->hasSource || (info && last == 0);
                query->done = query->done || last != 0;
            },
            query);
    };
    return ask(query, timeout) && query.hasSource;
}

#else

std::optional<QByteArray> serverDefaultSource(std::chrono::milliseconds)
{
    return std::nullopt;
}

bool serverHasSource(const QByteArray &, std::chrono::milliseconds)
{
    return true;
}

#endif

QAudioDevice systemDefaultInput()
{
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    if (inputs.isEmpty())
        return {};
    if (const std::optional<QByteArray> source = serverDefaultSource(serverTimeout)) {
        for (const QAudioDevice &device : inputs) {
            if (device.id() == *source)
                return device;
        }
    }
    const QAudioDevice fallback = QMediaDevices::defaultAudioInput();
    return fallback.isNull() ? inputs.first() : fallback;
}
