#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;

namespace corvantis {

class CCorvantisApp;

// The About window: the product name with the core object's version texts, the copyright and three links (the
// maker's web address, "Support" and "Privacy Policy") that open in the default browser. The copyright and the
// addresses are build settings.
//
// Borrows `app`, which must outlive the window. GUI thread only.
class AboutWindow final : public QDialog {
    Q_OBJECT
public:
    explicit AboutWindow(CCorvantisApp& app, QWidget* parent = nullptr);
    ~AboutWindow() override;
    AboutWindow(const AboutWindow&) = delete;
    AboutWindow& operator=(const AboutWindow&) = delete;

    // Refreshes the content and runs the window modally; true when it ended with 1 (OK).
    bool doModal();
    // OK ends the run with 1; Cancel (Escape, closing the window) with 0, only while a run is in progress.
    void onOK();
    void onCancel();
    void reject() override;
    // Fills the texts from the core object and the build settings.
    void updateContent();

    // The bound values: the links are rich text.
    QString fullProductName() const;
    QString copyright() const;
    QString updatesLink() const;
    QString contactLink() const;
    QString policyLink() const;
    int fontSize() const { return m_fontSize; }
    bool modalInProgress() const { return m_modalInProgress; }

    QPushButton* okButton() const { return m_ok; }

private:
    CCorvantisApp& m_app;
    bool m_modalInProgress = false;
    int m_fontSize = 0;
    QLabel* m_productName;
    QLabel* m_copyright;
    QLabel* m_updatesLink;
    QLabel* m_contactLink;
    QLabel* m_policyLink;
    QPushButton* m_ok;
};

} // namespace corvantis
