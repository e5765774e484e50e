#include "console/ScopeChartView.h"

TScopeChartView::TScopeChartView(QWidget* parent) : QChartView(parent) {}
