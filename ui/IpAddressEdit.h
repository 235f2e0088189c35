#pragma once

#include <array>
#include <cstdint>

#include <QString>
#include <QWidget>

class QLineEdit;

// An IPv4 address typed as four numbers from 0 to 255 between points. A field
// left empty counts as 0, so there is always an address to read. Typing a
// point, or the third digit of a number, moves on to the next field; a point
// right after such a digit is taken as already typed.
class IpAddressEdit : public QWidget {
    Q_OBJECT

  public:
    using Address = std::array<std::uint8_t, 4>;

    explicit IpAddressEdit(QWidget* parent = nullptr);

    void setAddress(const Address& address);
    // Most significant number first.
    Address address() const;
    // "%d.%d.%d.%d" of address().
    QString text() const;

    // The entry field of number `index` (0 to 3), for focus handling and tests.
    QLineEdit* field(int index) const { return m_fields[static_cast<std::size_t>(index)]; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void onEdited(int index);
    void focusField(int index);

    std::array<QLineEdit*, 4> m_fields{};
    // A third digit has just moved the typing on to the next field.
    bool m_advanced = false;
};
