from django.http import JsonResponse
from django.urls import path

from taskapp import tasks


def enqueue_add(request):
    result = tasks.add.enqueue(int(request.GET["a"]), int(request.GET["b"]))
    return JsonResponse({"id": result.id, "status": result.status})


urlpatterns = [path("add", enqueue_add)]
