// The scope chart's view: rubber-band zoom and scrolling with a veto.
#pragma once

#include <QChartView>

class TScopeChartView : public QChartView
{
    Q_OBJECT

public:
    explicit TScopeChartView(QWidget* parent = nullptr);
};
