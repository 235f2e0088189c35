#pragma once

#include <deque>

#include <QString>
#include <QStringList>

#include "ui/Prompter.h"

// Answers questions from a script (No once the script runs out) and records
// every question and message, in order.
class ScriptedPrompter : public Prompter {
  public:
    using Prompter::askYesNo;
    using Prompter::tell;

    bool askYesNo(const QString& text, const QString& title, Icon) override {
        asked << text;
        titles << title;
        if (answers.empty()) {
            return false;
        }
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    void tell(const QString& text, const QString& title, Icon) override {
        told << text;
        titles << title;
    }

    void answer(std::initializer_list<bool> script) { answers.insert(answers.end(), script); }
    void clear() {
        asked.clear();
        told.clear();
        titles.clear();
        answers.clear();
    }

    std::deque<bool> answers;
    QStringList asked;
    QStringList told;
    QStringList titles;
};
