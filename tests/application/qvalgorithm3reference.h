// The simulation as the program computed it before its sweep ran in lanes and
// threads: one pass after another, one day step at a time, in plain doubles.
// Kept as it was, so that the tests can hold the program's answers to it bit
// for bit and the benchmark can time it beside the program's code.
#pragma once

#include <cstdint>

#include "application/qvalgorithm3.h"
#include "application/qvalgorithm3steps.h"

namespace Quorvane::reference {

std::int32_t TruncateTo32(double x, QVAlgorithm3Faults& faults);
double Algorithm3Equity(const QVAlgorithm3Series& s, int j, const QVAlgorithm3Book& book);
void Algorithm3DayStep(const QVAlgorithm3Series& s, int i, double k, const QVAlgorithm3Phase& phase,
                       QVAlgorithm3Book& book, QVAlgorithm3Faults& faults);
// res holds kPassSlots values; slots from 200 on are left alone.
void Algorithm3SweepCycle(const QVAlgorithm3Series& s, int t, int time, double* res, QVAlgorithm3Faults& faults);
void Algorithm3Sweep(const QVAlgorithm3Series& s, int time, double* best, QVAlgorithm3Faults& faults);
double Algorithm3Run(const QVAlgorithm3Series& s, const double* best, QVAlgorithm3Faults& faults);
QVAlgorithm3Outcome RunAlgorithm3(const double* b, long bCount, const double* h, long hCount, const double* l,
                                  long lCount, const double* e, long eCount, const double* huan, long huanCount,
                                  int time, double ratio1, double ratio2, double ratio3, double ratio4);

}  // namespace Quorvane::reference
