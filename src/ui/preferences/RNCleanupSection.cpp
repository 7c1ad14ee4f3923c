#include "ui/preferences/RNCleanupSection.h"

#include "erase/RNCleanupPlanner.h"
#include "erase/RNCleanupRules.h"
#include "erase/RNOperationQueue.h"
#include "erase/RNPreferences.h"
#include "erase/RNUserDefaults.h"
#include "ui/RNRunThen.h"
#include "util/Localization.h"
#include "util/RNMessageFormat.h"
#include "util/RNNumberUtilities.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGridLayout>
#include <QLabel>
#include <QSpinBox>

#include <algorithm>
#include <cmath>

namespace quillo::ui {

using erase::RNCleanupRules;

namespace {

constexpr const char* kPreviewQueue = "cleanupPreviewQueue";
constexpr double kUnits[] = {1e6, 1e9, 1e12};  // MB, GB, TB: decimal, as every size shown
constexpr int kUnitCount = 3;
constexpr int kPercentIndex = kUnitCount;  // the free-space pop-up's last entry
constexpr size_t kPreviewVolumeLines = 6;

QString text(const char* key) { return QString::fromStdString(util::RNLocalizedString(key)); }

QString unitText(int index) {
    static const char* const keys[] = {"Mb", "Gb", "Tb"};
    return text(keys[index]).trimmed();
}

QString daysText(const char* key, int64_t days) {
    return QString::fromStdString(util::RNLocalizedMessage(key, {{"count", uint64_t(std::max<int64_t>(days, 0))}}));
}

std::string sizeText(uint64_t bytes) {
    return util::RNNumberUtilities::sharedControl().sizeToFormatString(bytes, 4, false);
}

}  // namespace

RNCleanupSection::RNCleanupSection(erase::RNUserDefaults& defaults, QWidget* parent)
    : QWidget(parent), defaults_(defaults) {
    setObjectName(QStringLiteral("cleanupSection"));
    previewTimer_.setSingleShot(true);
    previewTimer_.setInterval(kPreviewDelayMs);
    connect(&previewTimer_, &QTimer::timeout, this, &RNCleanupSection::startPreview);
    build();

    // A change from anywhere shows in the controls and starts a new preview.
    const RNMainThreadPath path(this);
    for (const char* key : {erase::kPrefAutoCleanupOlderThan, erase::kPrefAutoCleanupOlderThanDays,
                            erase::kPrefAutoCleanupMaxTrash, erase::kPrefAutoCleanupMaxTrashBytes,
                            erase::kPrefAutoCleanupMinFree, erase::kPrefAutoCleanupMinFreeByPercent,
                            erase::kPrefAutoCleanupMinFreePercent, erase::kPrefAutoCleanupMinFreeBytes,
                            erase::kPrefAutoCleanupMinimumAgeDays, erase::kPrefAutoCleanupAllowHelper}) {
        observers_.push_back(defaults_.addObserverForKey(key, [this, path](const std::string&, const erase::RNValue&) {
            path.run([this] {
                if (storing_) return;  // the store ends with both
                refreshControls();
                schedulePreview();
            });
        }));
    }
    refreshControls();
}

RNCleanupSection::~RNCleanupSection() {
    for (auto token : observers_) defaults_.removeObserver(token);
    stopPreview();
}

std::pair<double, int> RNCleanupSection::splitBytes(uint64_t bytes) {
    int unit = 0;
    for (int i = kUnitCount - 1; i > 0; --i)
        if (double(bytes) >= kUnits[i]) {
            unit = i;
            break;
        }
    // Two decimals at most: what the value box shows.
    return {std::round(double(bytes) / kUnits[unit] * 100.0) / 100.0, unit};
}

uint64_t RNCleanupSection::joinBytes(double value, int unitIndex) {
    const double bytes = std::max(0.0, value) * kUnits[std::clamp(unitIndex, 0, kUnitCount - 1)];
    return bytes >= 1.8e19 ? UINT64_MAX : uint64_t(std::llround(bytes));
}

// ---- The controls ------------------------------------------------------------------------------

void RNCleanupSection::build() {
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(12, 0, 0, 0);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(6);

    auto check = [this](const char* name, const char* title) {
        auto* box = new QCheckBox(text(title), this);
        box->setObjectName(QLatin1String(name));
        return box;
    };
    auto sizeBox = [this](const char* name, const char* accessible) {
        auto* box = new QDoubleSpinBox(this);
        box->setObjectName(QLatin1String(name));
        box->setAccessibleName(text(accessible));
        box->setDecimals(2);
        box->setRange(0, 99999);
        box->setKeyboardTracking(false);  // stored when typing ends, not at each digit
        return box;
    };
    auto unitPopup = [this](const char* name, bool withPercent) {
        auto* popup = new QComboBox(this);
        popup->setObjectName(QLatin1String(name));
        popup->setAccessibleName(text("cleanup_unit_name"));
        for (int i = 0; i < kUnitCount; ++i) popup->addItem(unitText(i), i);
        if (withPercent) popup->addItem(text("cleanup_percent_unit"), kPercentIndex);
        return popup;
    };

    // Age.
    olderThanCheck_ = check("cleanupOlderThanCheck", "cleanup_older_than_check");
    olderThanDays_ = new QSpinBox(this);
    olderThanDays_->setObjectName(QStringLiteral("cleanupOlderThanDays"));
    olderThanDays_->setAccessibleName(text("cleanup_older_than_name"));
    olderThanDays_->setRange(1, 3650);
    olderThanDays_->setKeyboardTracking(false);
    olderThanAfter_ = new QLabel(this);
    olderThanAfter_->setBuddy(olderThanDays_);
    grid->addWidget(olderThanCheck_, 0, 0);
    grid->addWidget(olderThanDays_, 0, 1);
    grid->addWidget(olderThanAfter_, 0, 2);
    connect(olderThanCheck_, &QCheckBox::toggled, this, [this] { storeOlderThan(); });
    connect(olderThanDays_, &QSpinBox::valueChanged, this, [this] { storeOlderThan(); });

    // Size of each trash.
    maxTrashCheck_ = check("cleanupMaxTrashCheck", "cleanup_max_trash_check");
    maxTrashValue_ = sizeBox("cleanupMaxTrashValue", "cleanup_max_trash_name");
    maxTrashUnit_ = unitPopup("cleanupMaxTrashUnit", false);
    grid->addWidget(maxTrashCheck_, 1, 0);
    grid->addWidget(maxTrashValue_, 1, 1);
    grid->addWidget(maxTrashUnit_, 1, 2);
    connect(maxTrashCheck_, &QCheckBox::toggled, this, [this] { storeMaxTrash(); });
    connect(maxTrashValue_, &QDoubleSpinBox::valueChanged, this, [this] { storeMaxTrash(); });
    connect(maxTrashUnit_, &QComboBox::activated, this, [this] { storeMaxTrash(); });

    // Free space on each volume.
    minFreeCheck_ = check("cleanupMinFreeCheck", "cleanup_min_free_check");
    minFreeValue_ = sizeBox("cleanupMinFreeValue", "cleanup_min_free_name");
    minFreeUnit_ = unitPopup("cleanupMinFreeUnit", true);
    grid->addWidget(minFreeCheck_, 2, 0);
    grid->addWidget(minFreeValue_, 2, 1);
    grid->addWidget(minFreeUnit_, 2, 2);
    connect(minFreeCheck_, &QCheckBox::toggled, this, [this] { storeMinFree(); });
    connect(minFreeValue_, &QDoubleSpinBox::valueChanged, this, [this] { storeMinFree(); });
    connect(minFreeUnit_, &QComboBox::activated, this, [this] { storeMinFree(); });

    // The minimum age under the two size rules.
    auto* ageLabel = new QLabel(text("cleanup_minimum_age"), this);
    ageLabel->setWordWrap(true);
    minimumAge_ = new QSpinBox(this);
    minimumAge_->setObjectName(QStringLiteral("cleanupMinimumAge"));
    minimumAge_->setAccessibleName(text("cleanup_minimum_age_name"));
    minimumAge_->setRange(0, 365);
    minimumAge_->setKeyboardTracking(false);
    ageLabel->setBuddy(minimumAge_);
    minimumAgeAfter_ = new QLabel(this);
    grid->addWidget(ageLabel, 3, 0);
    grid->addWidget(minimumAge_, 3, 1);
    grid->addWidget(minimumAgeAfter_, 3, 2);
    connect(minimumAge_, &QSpinBox::valueChanged, this, [this](int days) {
        store([this, days] { defaults_.setObject(erase::kPrefAutoCleanupMinimumAgeDays, erase::RNValue(double(days))); });
    });

    allowHelperCheck_ = check("cleanupAllowHelperCheck", "cleanup_allow_helper_check");
    grid->addWidget(allowHelperCheck_, 4, 0, 1, 3);
    connect(allowHelperCheck_, &QCheckBox::toggled, this, [this](bool on) {
        store([this, on] { defaults_.setBool(erase::kPrefAutoCleanupAllowHelper, on); });
    });

    preview_ = new QLabel(this);
    preview_->setObjectName(QStringLiteral("cleanupPreview"));
    preview_->setAccessibleName(text("cleanup_preview_name"));
    preview_->setWordWrap(true);
    preview_->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    preview_->setFocusPolicy(Qt::TabFocus);  // read by a screen reader in the tab order
    preview_->setContentsMargins(0, 4, 0, 0);
    preview_->setMinimumHeight(preview_->fontMetrics().lineSpacing() * 2 + 4);
    grid->addWidget(preview_, 5, 0, 1, 3);
    grid->setColumnStretch(3, 1);
}

void RNCleanupSection::refreshControls() {
    refreshing_ = true;
    const RNCleanupRules rules = RNCleanupRules::fromPreferences(defaults_);
    olderThanCheck_->setChecked(rules.olderThanOn);
    olderThanDays_->setValue(int(std::min<uint32_t>(rules.olderThanDays, uint32_t(olderThanDays_->maximum()))));
    olderThanAfter_->setText(daysText("cleanup_days_ago", olderThanDays_->value()));

    maxTrashCheck_->setChecked(rules.maxTrashOn);
    const auto [trashValue, trashUnit] = splitBytes(rules.maxTrashBytes);
    maxTrashUnit_->setCurrentIndex(trashUnit);
    maxTrashValue_->setValue(trashValue);

    minFreeCheck_->setChecked(rules.minFreeOn);
    if (rules.minFreeByPercent) {
        minFreeUnit_->setCurrentIndex(kPercentIndex);
        minFreeValue_->setRange(0, 100);
        minFreeValue_->setValue(rules.minFreePercent);
    } else {
        const auto [freeValue, freeUnit] = splitBytes(rules.minFreeBytes);
        minFreeUnit_->setCurrentIndex(freeUnit);
        minFreeValue_->setRange(0, 99999);
        minFreeValue_->setValue(freeValue);
    }

    minimumAge_->setValue(int(std::clamp(std::ceil(rules.minimumAgeDays), 0.0, double(minimumAge_->maximum()))));
    minimumAgeAfter_->setText(daysText("cleanup_days_ago", minimumAge_->value()));
    allowHelperCheck_->setChecked(rules.allowHelper);
    updateEnabledStates();
    refreshing_ = false;
}

void RNCleanupSection::updateEnabledStates() {
    olderThanDays_->setEnabled(olderThanCheck_->isChecked());
    maxTrashValue_->setEnabled(maxTrashCheck_->isChecked());
    maxTrashUnit_->setEnabled(maxTrashCheck_->isChecked());
    minFreeValue_->setEnabled(minFreeCheck_->isChecked());
    minFreeUnit_->setEnabled(minFreeCheck_->isChecked());
    // The minimum age holds under the two size rules only; the helper under any rule.
    minimumAge_->setEnabled(maxTrashCheck_->isChecked() || minFreeCheck_->isChecked());
    allowHelperCheck_->setEnabled(olderThanCheck_->isChecked() || maxTrashCheck_->isChecked() ||
                                  minFreeCheck_->isChecked());
}

void RNCleanupSection::store(const std::function<void()>& write) {
    if (refreshing_) return;
    // The keys of one rule are written together; the controls follow once all are.
    storing_ = true;
    write();
    storing_ = false;
    refreshControls();
    schedulePreview();
}

void RNCleanupSection::storeOlderThan() {
    store([this] {
        defaults_.setInteger(erase::kPrefAutoCleanupOlderThanDays, olderThanDays_->value());
        defaults_.setBool(erase::kPrefAutoCleanupOlderThan, olderThanCheck_->isChecked());
    });
}

void RNCleanupSection::storeMaxTrash() {
    store([this] {
        const uint64_t bytes = joinBytes(maxTrashValue_->value(), maxTrashUnit_->currentIndex());
        defaults_.setInteger(erase::kPrefAutoCleanupMaxTrashBytes, int64_t(std::min<uint64_t>(bytes, INT64_MAX)));
        defaults_.setBool(erase::kPrefAutoCleanupMaxTrash, maxTrashCheck_->isChecked());
    });
}

void RNCleanupSection::storeMinFree() {
    store([this] {
        const bool byPercent = minFreeUnit_->currentIndex() == kPercentIndex;
        // Switching between a size and a share keeps both stored values: "500 MB" must not
        // become "100 %" (everything old enough would go), nor "15 %" become "15 MB".
        if (byPercent != defaults_.boolForKey(erase::kPrefAutoCleanupMinFreeByPercent)) {
            defaults_.setBool(erase::kPrefAutoCleanupMinFreeByPercent, byPercent);
        } else if (byPercent) {
            defaults_.setObject(erase::kPrefAutoCleanupMinFreePercent, erase::RNValue(std::min(minFreeValue_->value(), 100.0)));
        } else {
            const uint64_t bytes = joinBytes(minFreeValue_->value(), minFreeUnit_->currentIndex());
            defaults_.setInteger(erase::kPrefAutoCleanupMinFreeBytes, int64_t(std::min<uint64_t>(bytes, INT64_MAX)));
        }
        defaults_.setBool(erase::kPrefAutoCleanupMinFree, minFreeCheck_->isChecked());
    });
}

// ---- The preview -------------------------------------------------------------------------------

void RNCleanupSection::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refreshControls();
    schedulePreview();
}

void RNCleanupSection::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    previewTimer_.stop();
    stopPreview();
}

void RNCleanupSection::schedulePreview() {
    if (!isVisible()) return;
    if (!RNCleanupRules::fromPreferences(defaults_).anyRuleOn()) {
        previewTimer_.stop();
        stopPreview();
        showPreview({});
        return;
    }
    stopPreview();
    previewPending_ = true;
    preview_->setText(text("cleanup_preview_working"));
    previewTimer_.start();
}

void RNCleanupSection::stopPreview() {
    if (previewStop_) previewStop_->store(true);
    previewStop_.reset();
    ++previewGeneration_;
}

void RNCleanupSection::startPreview() {
    stopPreview();
    auto stop = std::make_shared<std::atomic<bool>>(false);
    previewStop_ = stop;
    const uint64_t generation = previewGeneration_;
    const RNCleanupRules rules = RNCleanupRules::fromPreferences(defaults_);
    runThen(
        erase::RNOperationQueue::named(kPreviewQueue), this,
        [rules, stop] {
            const erase::RNCleanupPlan plan = erase::RNCleanupPlanner::planAll(rules, std::nullopt, stop.get());
            Preview preview;
            preview.items = plan.totalItems;
            preview.bytes = plan.totalBytes;
            for (const auto& v : plan.volumes)
                if (!v.items.empty() || v.freeTargetUnreachable)
                    preview.volumes.push_back({v.volumeName, uint64_t(v.items.size()), v.bytes, v.freeTargetUnreachable});
            return preview;
        },
        [this, generation](const Preview& preview) {
            if (generation != previewGeneration_) return;  // a newer change, or the window closed
            previewStop_.reset();
            showPreview(preview);
        });
}

void RNCleanupSection::showPreview(const Preview& preview) {
    previewPending_ = false;
    QStringList lines;
    if (!RNCleanupRules::fromPreferences(defaults_).anyRuleOn()) {
        lines << text("cleanup_preview_off");
    } else if (preview.items == 0) {
        lines << text("cleanup_preview_nothing");
    } else {
        lines << QString::fromStdString(util::RNLocalizedMessage(
            "cleanup_preview_total", {{"count", preview.items}, {"size", sizeText(preview.bytes)}}));
        size_t shown = 0;
        for (const auto& v : preview.volumes) {
            if (v.items == 0 || shown == kPreviewVolumeLines) continue;
            ++shown;
            lines << QString::fromStdString(util::RNLocalizedMessage(
                "cleanup_preview_volume", {{"volume", v.name}, {"count", v.items}, {"size", sizeText(v.bytes)}}));
        }
    }
    for (const auto& v : preview.volumes)
        if (v.freeTargetUnreachable)
            lines << QString::fromStdString(util::RNLocalizedMessage("cleanup_preview_unreachable", {{"volume", v.name}}));
    preview_->setText(lines.join(QLatin1Char('\n')));
    emit previewShown();
}

QString RNCleanupSection::previewText() const { return preview_->text(); }

}  // namespace quillo::ui
