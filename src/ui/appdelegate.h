#pragma once

#include "recordermodel.h"

#include <QPointer>

/// Answers the desktop when the person quits: the program ends only once the controller has
/// filed a running take and saved the session.
class AppDelegate
{
public:
    enum class TerminateReply { Now, Cancel };

    /// The window hands the controller over each time it is shown; held weakly.
    void setModel(RecorderModel *model) { m_model = model; }

    /// The controller's answer is final; it may first ask the person whether to quit without
    /// saving, when `mayAsk`.
    [[nodiscard]] TerminateReply applicationShouldTerminate(bool mayAsk = true)
    {
        if (!m_model)
            return TerminateReply::Now;
        return m_model->prepareToQuit(mayAsk) ? TerminateReply::Now : TerminateReply::Cancel;
    }

    /// Closing the one window quits, through the same reply.
    [[nodiscard]] static bool applicationShouldTerminateAfterLastWindowClosed() { return true; }

private:
    QPointer<RecorderModel> m_model;
};
