// A busy area: the window background with a spinner in its middle that turns only while the view
// is shown.
#pragma once

#include <QWidget>

namespace quillo::ui {

class RNSpinner;

class RNWorkingProgressView : public QWidget {
    Q_OBJECT
public:
    explicit RNWorkingProgressView(QWidget* parent = nullptr);
    RNSpinner* spinner() const { return spinner_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    RNSpinner* spinner_;
};

}  // namespace quillo::ui
