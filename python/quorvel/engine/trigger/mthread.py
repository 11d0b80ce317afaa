"""
线程引擎模块

该模块实现了基于线程的B树引擎，适用于需要并发处理的场景。
每个行为树在独立的线程中运行，提高处理效率。
"""
# ---- library part (thread engine) ----

# ---- demonstration part: runs only as the main program ----
