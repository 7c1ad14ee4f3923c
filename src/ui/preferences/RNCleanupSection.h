// The "Clean up automatically" part of the preferences window: the three rules (age, size of
// each trash, free space on each volume), each with its own check box and value, the minimum
// age, the helper permission, and a preview of what the rules would erase now with the total.
//
// Every control writes its one preference key at once and follows the key whoever changes it
// (the terminal's `prefs` included). The preview lists every trash and reads every info file, so
// it is worked out on a worker: a moment after the last change (changes in a row start one
// listing, not one each), and again each time the section is shown. A listing made stale by a
// newer change or by the window closing is told to stop and its answer is dropped.
#pragma once

#include "erase/RNNotificationCenter.h"

#include <QTimer>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QSpinBox;

namespace quillo::erase {
class RNUserDefaults;
}

namespace quillo::ui {

class RNCleanupSection : public QWidget {
    Q_OBJECT
public:
    // What the preview shows, worked out on the worker.
    struct Preview {
        uint64_t items = 0;
        uint64_t bytes = 0;
        struct Volume {
            std::string name;
            uint64_t items = 0;
            uint64_t bytes = 0;
            bool freeTargetUnreachable = false;
        };
        std::vector<Volume> volumes;  // those with something to erase, or whose target is out of reach
    };

    static constexpr int kPreviewDelayMs = 400;

    RNCleanupSection(erase::RNUserDefaults& defaults, QWidget* parent = nullptr);
    ~RNCleanupSection() override;

    // Controls from the stored values.
    void refreshControls();
    // Works the preview out again (after the short delay).
    void schedulePreview();
    // The preview's text as shown, and whether a listing is under way.
    QString previewText() const;
    bool previewPending() const { return previewPending_; }

    // Sizes as a number and a unit: the largest decimal unit (MB, GB, TB) that shows `bytes`
    // as at least 1, and back.
    static std::pair<double, int> splitBytes(uint64_t bytes);
    static uint64_t joinBytes(double value, int unitIndex);

signals:
    void previewShown();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void build();
    void store(const std::function<void()>& write);
    void storeOlderThan();
    void storeMaxTrash();
    void storeMinFree();
    void startPreview();
    void stopPreview();
    void showPreview(const Preview& preview);
    void updateEnabledStates();

    erase::RNUserDefaults& defaults_;
    std::vector<erase::RNObserverToken> observers_;
    bool refreshing_ = false;
    bool storing_ = false;

    QCheckBox* olderThanCheck_ = nullptr;
    QSpinBox* olderThanDays_ = nullptr;
    QLabel* olderThanAfter_ = nullptr;
    QCheckBox* maxTrashCheck_ = nullptr;
    QDoubleSpinBox* maxTrashValue_ = nullptr;
    QComboBox* maxTrashUnit_ = nullptr;
    QCheckBox* minFreeCheck_ = nullptr;
    QDoubleSpinBox* minFreeValue_ = nullptr;
    QComboBox* minFreeUnit_ = nullptr;
    QSpinBox* minimumAge_ = nullptr;
    QLabel* minimumAgeAfter_ = nullptr;
    QCheckBox* allowHelperCheck_ = nullptr;
    QLabel* preview_ = nullptr;

    QTimer previewTimer_;
    std::shared_ptr<std::atomic<bool>> previewStop_;  // of the listing under way
    uint64_t previewGeneration_ = 0;
    bool previewPending_ = false;
};

}  // namespace quillo::ui
