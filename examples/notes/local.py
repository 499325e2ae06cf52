"""Runs the notes application against local stand-ins of the Firebase
services: nothing leaves the machine."""
import asyncio

import tavrin.firebase
from firebase_standins import ServicesThread, StandinConfig, routed
from tavrin import env, firebase_config

import notes

config = StandinConfig.from_config_module(firebase_config, env)
with ServicesThread(config) as svc, routed(tavrin.firebase, svc):
    asyncio.run(notes.main("ada@example.com", "secret-1"))
    print("the stand-ins answered", len(svc.requests), "requests")
