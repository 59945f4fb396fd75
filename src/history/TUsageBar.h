#pragma once

#include <QWidget>

#include <cstdint>
#include <optional>

namespace sp {

// The cycle's traffic against its limit: a bar filled to the share used,
// in the graph's green up to 80 %, then in warning colours.
class TUsageBar : public QWidget {
    Q_OBJECT

public:
    explicit TUsageBar(QWidget* parent = nullptr);
    void SetUsage(uint64_t used, std::optional<uint64_t> limit);
    // The filled share, 0 to 1 (0 without a limit).
    [[nodiscard]] double Share() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    uint64_t used_ = 0;
    std::optional<uint64_t> limit_;
};

} // namespace sp
