#pragma once

#include <QString>

class QWidget;

// How the views ask the user a yes/no question or tell them something. The
// program shows message boxes; tests answer from a script and record the texts.
class Prompter {
  public:
    enum class Icon { None, Information, Question, Warning };

    virtual ~Prompter() = default;

    // Yes and No buttons; true for Yes.
    virtual bool askYesNo(const QString& text, const QString& title, Icon icon) = 0;
    // An OK box.
    virtual void tell(const QString& text, const QString& title, Icon icon) = 0;

    bool askYesNo(const QString& text) { return askYesNo(text, kTitle, Icon::Question); }
    void tell(const QString& text) { tell(text, kTitle, Icon::None); }

    static inline const QString kTitle = QStringLiteral("Glimmerfen!");
};

// Real message boxes, modal over `parent` (or application-modal without one).
class MessageBoxPrompter : public Prompter {
  public:
    explicit MessageBoxPrompter(QWidget* parent = nullptr) : m_parent(parent) {}
    void setParent(QWidget* parent) { m_parent = parent; }

    using Prompter::askYesNo;
    using Prompter::tell;
    bool askYesNo(const QString& text, const QString& title, Icon icon) override;
    void tell(const QString& text, const QString& title, Icon icon) override;

  private:
    QWidget* m_parent;
};
