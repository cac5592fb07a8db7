#pragma once

// Answers the next modal dialog (file dialog, message box) from a timer, while
// the code under test sits in its exec().

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <functional>

inline void answerNextModal(std::function<void(QWidget *)> answer, int attempts = 200)
{
    QTimer::singleShot(10, qApp, [answer, attempts] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal)
            answer(modal);
        else if (attempts > 0)
            answerNextModal(answer, attempts - 1);
    });
}

// Picks a file in the next file dialog; records the dialog's name filters.
inline void chooseFileInNextDialog(const QString &path, QStringList *filters = nullptr)
{
    answerNextModal([path, filters](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return;
        if (filters)
            *filters = dialog->nameFilters();
        // Into the file's folder, its name typed and confirmed, as an operator would.
        dialog->setDirectory(QFileInfo(path).absolutePath());
        auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (nameEdit) {
            nameEdit->setText(QFileInfo(path).fileName());
            QTest::keyClick(nameEdit, Qt::Key_Return);
        }
        // A dialog that refused (its own "file not found" box) must not hang the test.
        if (dialog->isVisible())
            dialog->reject();
    });
}

inline void cancelNextDialog()
{
    answerNextModal([](QWidget *modal) {
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
    });
}

// Presses a button of the next message box and records its title and text.
inline void answerNextMessageBox(QMessageBox::StandardButton button, QString *title = nullptr, QString *text = nullptr,
                                 QMessageBox::Icon *icon = nullptr)
{
    answerNextModal([=](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box)
            return;
        if (title)
            *title = box->windowTitle();
        if (text)
            *text = box->text();
        if (icon)
            *icon = box->icon();
        if (QAbstractButton *target = box->button(button))
            target->click();
        else
            box->reject();
    });
}
