"""The HTTP interface, version 1. Every request but a browser's preflight goes
through the same checks, in this order: origin (403), token (401), and for a
POST size (413), media type (415), then the body (400)."""

from __future__ import annotations

import asyncio
import dataclasses
import hmac
import json
import math
import sys
from collections.abc import Awaitable, Callable
from typing import Any

from aiohttp import web

import tarvik

from . import jobs, journal, preview
from .jobs import Refusal, bad
from .spooler import Spooler

MAX_BODY = 64 * 1024
MAX_WAIT = 120
MAX_LIMIT = 500
_NAMES = {400: "bad_request", 401: "unauthorized", 403: "forbidden", 404: "not_found",
          405: "method_not_allowed", 409: "conflict", 413: "too_large", 415: "unsupported_media_type"}


@dataclasses.dataclass
class Service:
    printer: Any
    printer_class: type
    token: str
    origins: frozenset[str]
    timeout: float
    journal: Callable[..., Awaitable[Any]]  # runs a Journal method in the journal's thread
    spooler: Spooler
    previews: asyncio.Semaphore = dataclasses.field(default_factory=lambda: asyncio.Semaphore(2))


def answer(status: int, body: Any) -> web.Response:
    return web.Response(status=status, text=json.dumps(body), content_type="application/json")


def _authorized(header: str, token: str) -> bool:
    scheme, _, given = header.partition(" ")
    return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), token.encode())


async def _body(request: web.Request) -> Any:
    length = request.content_length
    if length is not None and length > MAX_BODY:
        raise Refusal(413, "too_large", f"the body is {length} bytes; at most {MAX_BODY} are taken")
    data = await request.content.read(MAX_BODY + 1)
    if len(data) > MAX_BODY:
        raise Refusal(413, "too_large", f"the body is over {MAX_BODY} bytes")
    if request.content_type != "application/json":
        raise Refusal(415, "unsupported_media_type", "a POST must be Content-Type: application/json")
    return jobs.parse(data)


def app(service: Service) -> web.Application:
    @web.middleware
    async def checks(request: web.Request, handler: Callable[[web.Request], Awaitable[web.StreamResponse]]
                     ) -> web.StreamResponse:
        origin = request.headers.get("Origin")
        cors = {}
        if origin is not None:
            if origin not in service.origins:
                return answer(403, {"error": "forbidden", "message": f"the origin {origin} may not call this service"})
            cors = {"Access-Control-Allow-Origin": origin, "Vary": "Origin"}
        if request.method == "OPTIONS" and origin is not None and "Access-Control-Request-Method" in request.headers:
            response: web.StreamResponse = web.Response(status=204, headers=cors | {
                "Access-Control-Allow-Methods": "GET, POST, DELETE",
                "Access-Control-Allow-Headers": "Authorization, Content-Type",
                "Access-Control-Allow-Private-Network": "true",
                "Access-Control-Max-Age": "600",
            })
            return response
        try:
            if not _authorized(request.headers.get("Authorization", ""), service.token):
                raise Refusal(401, "unauthorized", "the request needs the header Authorization: Bearer TOKEN,"
                              " with the service's token")
            if request.method == "POST":
                request["body"] = await _body(request)
            response = await handler(request)
        except Refusal as e:
            response = answer(e.status, e.body())
        except web.HTTPException as e:  # no such route or method
            response = answer(e.status, {"error": _NAMES.get(e.status, "bad_request"), "message": e.reason})
        response.headers.update(cors)
        return response

    routes = web.RouteTableDef()

    def number(request: web.Request, name: str, low: float, high: float, default: float, whole: bool) -> float:
        text = request.query.get(name)
        if text is None:
            return default
        try:
            value = int(text) if whole else float(text)
        except ValueError:
            value = math.nan
        if not low <= value <= high:
            raise bad(f"{name} must be a number from {low} to {high}, not {text!r}", name)
        return value

    def job_id(request: web.Request) -> int:
        text = request.match_info["id"]
        if not (text.isascii() and text.isdigit()) or len(text) > 18:
            raise Refusal(404, "not_found", f"there is no job {text!r}")
        return int(text)

    @routes.post("/v1/jobs")
    async def post_job(request: web.Request) -> web.Response:
        wait = number(request, "wait", 0, MAX_WAIT, 0, whole=False)
        key, commands, _ = jobs.job(request["body"], service.printer)
        job, new = await service.journal("add", key, commands)
        if new:
            service.spooler.wake()
        if wait > 0 and job["state"] not in journal.ENDED:
            waiter = service.spooler.waiter(job["id"])
            try:
                job = await service.journal("get", job["id"])
                if job["state"] not in journal.ENDED:
                    await asyncio.wait_for(asyncio.shield(waiter), wait)
            except TimeoutError:
                pass
            finally:
                service.spooler.forget(job["id"], waiter)
            job = await service.journal("get", job["id"])
        return answer(201 if new else 200, job)

    @routes.get("/v1/jobs/{id}")
    async def get_job(request: web.Request) -> web.Response:
        return answer(200, await service.journal("get", job_id(request)))

    @routes.delete("/v1/jobs/{id}")
    async def cancel_job(request: web.Request) -> web.Response:
        job = await service.journal("cancel", job_id(request))
        service.spooler.ended(job["id"])
        return answer(200, job)

    @routes.get("/v1/jobs")
    async def list_jobs(request: web.Request) -> web.Response:
        state = request.query.get("state")
        if state is not None and state not in journal.STATES:
            raise bad(f"state must be one of {', '.join(journal.STATES)}", "state")
        limit = int(number(request, "limit", 1, MAX_LIMIT, 50, whole=True))
        return answer(200, {"jobs": await service.journal("list", state, limit)})

    @routes.get("/v1/status")
    async def status(request: web.Request) -> web.Response:
        try:
            found = await asyncio.get_running_loop().run_in_executor(None, service.printer.status)
            printer = dataclasses.asdict(found)
        except tarvik.Error as e:
            printer = {"state": "cannot_tell", "message": str(e)}
        queued = await service.journal("queued")
        return answer(200, {"printer": printer, "queued": queued, "printing": service.spooler.printing})

    @routes.post("/v1/preview")
    async def draw(request: web.Request) -> web.Response:
        _, commands, _ = jobs.job(request["body"], service.printer, keyed=False)
        async with service.previews:
            svg = await preview.draw(service.printer_class, service.printer.directory, service.printer.encoding,
                                     service.timeout, commands)
        return web.Response(body=svg, content_type="image/svg+xml")

    application = web.Application(middlewares=[checks], client_max_size=MAX_BODY + 1)
    application.add_routes(routes)
    return application


def log(message: str) -> None:
    print(f"tarvikd: {message}", file=sys.stderr, flush=True)
