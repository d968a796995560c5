#pragma once

#include <QDialog>

#include <string>

class QPlainTextEdit;
class QPushButton;

namespace corvantis {

// The sheet that edits the ports excluded from processing: one text for UDP and one for TCP, each a list of
// port numbers separated by commas, semicolons, spaces or line feeds. Save ends the modal run with 1 and Cancel
// with 0; the caller checks and stores the texts.
//
// GUI thread only.
class ExcludedPortsSheet final : public QDialog {
    Q_OBJECT
public:
    explicit ExcludedPortsSheet(QWidget* parent = nullptr);
    ~ExcludedPortsSheet() override;
    ExcludedPortsSheet(const ExcludedPortsSheet&) = delete;
    ExcludedPortsSheet& operator=(const ExcludedPortsSheet&) = delete;

    void setPorts(const std::string& udp, const std::string& tcp);
    std::string udpPorts() const;
    std::string tcpPorts() const;

    QPlainTextEdit* udpField() const { return m_udp; }
    QPlainTextEdit* tcpField() const { return m_tcp; }
    QPushButton* saveButton() const { return m_save; }
    QPushButton* cancelButton() const { return m_cancel; }

public slots:
    // End the modal run with 1 (Save) or 0 (Cancel).
    void saveExcludedPorts();
    void canselExcludedPorts();

private:
    QPlainTextEdit* m_udp;
    QPlainTextEdit* m_tcp;
    QPushButton* m_save;
    QPushButton* m_cancel;
};

} // namespace corvantis
