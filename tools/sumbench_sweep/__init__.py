"""The sweep: measure, then summarise, then report.

measure   runs processes and yields run records (records.py), one per process
summary   a pure function from run records to cells: estimates and marks
report    cells to tables, summary.csv and the plot
cli       the command line, the results folder and the schedule
"""
