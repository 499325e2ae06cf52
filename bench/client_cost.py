"""What making an httpx client costs, which every call of the module does:
CPU (time.process_time) and wall time per client, the median of 5 rounds of
50, for a client as the module makes it, for one given a TLS context made
beforehand, and for the TLS context alone.

    tools/platform run python3 bench/client_cost.py
"""
import ssl
import statistics
import time

import httpx

ROUNDS, CLIENTS = 5, 50


def per_item(make):
    cpu, wall = time.process_time(), time.perf_counter()
    for _ in range(CLIENTS):
        make()
    return ((time.process_time() - cpu) / CLIENTS * 1e3,
            (time.perf_counter() - wall) / CLIENTS * 1e3)


def main():
    shared = ssl.create_default_context()
    print(f"httpx {httpx.__version__}: median of {ROUNDS} rounds of {CLIENTS}, per item")
    for label, make in [("httpx.AsyncClient()", httpx.AsyncClient),
                        ("httpx.AsyncClient(verify=ctx)", lambda: httpx.AsyncClient(verify=shared)),
                        ("ssl.create_default_context()", ssl.create_default_context)]:
        rounds = [per_item(make) for _ in range(ROUNDS)]
        cpu = statistics.median(r[0] for r in rounds)
        wall = statistics.median(r[1] for r in rounds)
        print(f"  {label:32} {cpu:6.2f} ms CPU  {wall:6.2f} ms wall")


if __name__ == "__main__":
    main()
