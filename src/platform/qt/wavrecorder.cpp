#include "wavrecorder.h"

#include "capture.h"
#include "takefile.h"

#include <QDeadlineTimer>
#include <QThread>

#include <chrono>
#include <cmath>
#include <future>

namespace {

// The sound reaches us a little after it was spoken: a fragment of the server (Qt asks for
// 50 ms) plus Qt's reading period (as long again) plus the device's own latency. Reading on
// for this long after `stop` keeps the last words of a take that is stopped right after them.
constexpr int drainMs = 200;
// Starting a stream takes milliseconds too. Qt waits without end for a stream on a source
// that vanished between that question and the start; only then does this bound apply.
constexpr std::chrono::seconds startTimeout {5};
// Beyond the drain, how long ending the input may take before its thread is left to itself.
constexpr int endTimeoutMs = 3000;

} // namespace

using namespace WavRecording;

WavRecorder::WavRecorder(const QAudioDevice &device, const QString &path, QObject *parent)
    : Platform::Recorder(parent)
    , m_device(device)
    , m_path(path)
    , m_file(std::make_shared<TakeFile>(path))
    , m_meter(std::make_shared<Meter>())
{}

WavRecorder::~WavRecorder()
{
    if (m_state == State::Recording) {
        shutDown(drainMs);
    } else if (m_state == State::Ready) {
        m_file->finish();
        m_file->removeFile();
    }
}

bool WavRecorder::record()
{
    if (m_state != State::Ready)
        return false;
    m_state = State::Stopped;
    m_file->start([this] {
        QMetaObject::invokeMethod(this, &WavRecorder::writeFailed, Qt::QueuedConnection);
    });

    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("Quorbel capture"));
    m_capture = new Capture(m_device, m_file, m_meter);
    m_capture->moveToThread(m_thread);
    connect(m_capture, &Capture::lost, this, &WavRecorder::inputLost, Qt::QueuedConnection);
    m_thread->start();

    const auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> started = answer->get_future();
    QMetaObject::invokeMethod(
        m_capture, [capture = m_capture, answer] { answer->set_value(capture->start()); },
        Qt::QueuedConnection);
    const bool answered = started.wait_for(startTimeout) == std::future_status::ready;
    if (answered && started.get()) {
        m_state = State::Recording;
        return true;
    }
    if (answered) {
        endCapture(0);
    } else {
        // Qt waits without end for a stream the server never makes ready. The thread, and
        // what it shares, are left to it rather than destroyed under it.
        m_capture = nullptr;
        m_thread = nullptr;
    }
    m_file->finish();
    m_file->removeFile();
    return false;
}

std::optional<QString> WavRecorder::stop()
{
    // Also a failure already on its way as encodeError, which finds the recorder stopped and
    // says nothing: reported here, it is reported once, before the take is filed.
    if (m_state != State::Recording)
        return std::nullopt;
    return shutDown(drainMs);
}

void WavRecorder::updateMeters()
{
    const Meter::Sums sums = m_meter->take();
    if (sums.samples == 0)
        return;
    const auto decibels = [](double amplitude) {
        return amplitude > 0 ? std::max(float(20 * std::log10(amplitude)), Platform::silenceDb)
                             : Platform::silenceDb;
    };
    m_averagePower = decibels(std::sqrt(sums.squares / double(sums.samples)));
    m_peakPower = decibels(sums.peak);
}

double WavRecorder::currentTime() const
{
    return double(m_file->frames()) / takeRate;
}

void WavRecorder::inputLost()
{
    if (m_state != State::Recording)
        return;
    if (const std::optional<QString> failure = shutDown(0))
        Q_EMIT encodeError(*failure);
    else
        Q_EMIT finished(m_file->frames() > 0);
}

void WavRecorder::writeFailed()
{
    if (m_state != State::Recording)
        return;
    Q_EMIT encodeError(shutDown(0).value_or(QString()));
}

std::optional<QString> WavRecorder::shutDown(int drain)
{
    m_state = State::Stopped;
    endCapture(drain);
    return m_file->finish();
}

void WavRecorder::endCapture(int drain)
{
    if (!m_thread)
        return;
    QMetaObject::invokeMethod(
        m_capture, [capture = m_capture, drain] { capture->finish(drain); }, Qt::QueuedConnection);
    if (m_thread->wait(QDeadlineTimer(drain + endTimeoutMs))) {
        delete m_capture;
        delete m_thread;
    }
    // Otherwise the input hangs in the sound system: its thread is left to it, as in `record`.
    m_capture = nullptr;
    m_thread = nullptr;
}
